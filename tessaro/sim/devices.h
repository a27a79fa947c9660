// The machine's hardware catalogue and message store: device drivers,
// devices with their dependencies, and the system messages by handle. All of
// it comes from the scenario and does not change while the machine runs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "protocol/messages.h"

namespace tessaro::sim {

struct DeviceTable {
    std::vector<proto::Driver> drivers;
    std::vector<proto::Device> devices;  // in scenario order

    const proto::Device* find(int32_t handle) const {
        for (const auto& d : devices)
            if (d.handle == handle) return &d;
        return nullptr;
    }
};

// System message handle -> XML text.
using SystemMessages = std::map<int32_t, std::string>;

// The usual text for a device state number ("active" for XAL_DEV_ACTIVE).
const char* device_state_text(int32_t state);
// The state number of a name such as "XAL_DEV_ACTIVE"; false for any other.
bool device_state_from_name(const std::string& name, int32_t& state);

}  // namespace tessaro::sim
