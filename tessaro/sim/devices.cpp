#include "devices.h"

namespace tessaro::sim {

namespace {
struct StateName {
    const char* name;
    const char* text;
};
// Indexed by XAL_DEVICE_STATE.
const StateName kStates[] = {
    {"XAL_DEV_UNINITIALIZED", "uninitialized"},
    {"XAL_DEV_INITIALIZING", "initializing"},
    {"XAL_DEV_DESTROYING", "destroying"},
    {"XAL_DEV_ACTIVATING", "activating"},
    {"XAL_DEV_ACTIVE", "active"},
    {"XAL_DEV_DEACTIVATING", "deactivating"},
    {"XAL_DEV_INACTIVE", "inactive"},
    {"XAL_DEV_ACTIVATING_FAILURE", "activating failure"},
    {"XAL_DEV_DEACTIVATING_FAILURE", "deactivating failure"},
    {"XAL_DEV_UNKNOWN_FAILURE", "unknown failure"},
};
constexpr int32_t kStateCount = static_cast<int32_t>(sizeof kStates / sizeof kStates[0]);
}  // namespace

const char* device_state_text(int32_t state) {
    return state >= 0 && state < kStateCount ? kStates[state].text : "";
}

bool device_state_from_name(const std::string& name, int32_t& state) {
    for (int32_t i = 0; i < kStateCount; ++i)
        if (name == kStates[i].name) {
            state = i;
            return true;
        }
    return false;
}

}  // namespace tessaro::sim
