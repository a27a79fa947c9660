#include "ops.h"

#include <cstring>

namespace tessaro::sim {

namespace {

using proto::Op;

const OpLayout kLayouts[] = {
    {Op::Hello, "su", "--", "us"},
    {Op::GetNode, "s", "N", ""},
    {Op::GetParentNode, "i", "n", ""},
    {Op::ReadNode, "i", "n", ""},
    {Op::GetNodeInfo, "i", "n", ""},
    {Op::GetNodeValueStringLen, "i", "n", ""},
    {Op::GetNodeValueString, "ii", "n-", "s"},
    {Op::GetNodeValueBinCopyLen, "i", "n", ""},
    {Op::GetNodeValueBinCopy, "ii", "n-", "b"},
    {Op::SetNodeValueString, "is", "n-", ""},
    {Op::WriteNodeSync, "i", "n", ""},
    {Op::GetNodeNameLen, "i", "n", ""},
    {Op::GetNodeName, "ii", "n-", "s"},
    {Op::CreateNodeOnController, "sii", "N--", ""},
    {Op::CreateJobNodeOnController, "ssi", "N--", ""},
    {Op::DeleteSingleNodeOnController, "i", "n", ""},
    {Op::RenameNode, "is", "n-", ""},
    {Op::MoveSubtree, "iii", "nn-", ""},
    {Op::CreateNodeObjectCollection, "", "", ""},
    {Op::GetSubnodes, "ii", "nc", ""},
    {Op::GetNodeObjectCount, "i", "c", "i"},
    {Op::GetNodeObjectAtIndex, "ii", "c-", "i"},
    {Op::DestroyNodeObjectCollection, "i", "c", ""},
    {Op::GetJobInfo, "", "", ""},
    {Op::GetJobNamesLen, "", "", "i"},
    {Op::GetJobNames, "i", "-", "s"},
    {Op::SelectNode, "i", "n", ""},
    {Op::JobStart, "", "", ""},
    {Op::GetJobNodeTypesCount, "", "", "i"},
    {Op::GetJobNodeTypeInfo, "i", "-", ""},
    {Op::GetPLCState, "", "", "uu"},
    {Op::RegisterOnPLCChanged, "", "", ""},
    {Op::UnregisterOnPLCChanged, "", "", ""},
    {Op::GetDriverInfo, "", "", ""},
    {Op::GetAllDeviceInfo, "", "", ""},
    {Op::GetDeviceInfo, "i", "d", ""},
    {Op::GetSystemMessageXMLLen, "i", "m", ""},
    {Op::GetSystemMessageXML, "ii", "m-", "s"},
};

}  // namespace

const OpLayout* op_layout(uint16_t op) {
    for (const auto& s : kLayouts)
        if (static_cast<uint16_t>(s.op) == op) return &s;
    return nullptr;
}

const OpLayout* op_layout(proto::Op op) { return op_layout(static_cast<uint16_t>(op)); }

bool addresses_node(const OpLayout& layout) { return std::strpbrk(layout.roles, "nN") != nullptr; }

bool carries_handle(const OpLayout& layout) { return std::strpbrk(layout.roles, "ncdm") != nullptr; }

bool decode_args(const OpLayout& layout, wire::Reader& r, std::vector<Arg>& args) {
    args.clear();
    for (const char* t = layout.request; *t; ++t) {
        Arg a;
        if (*t == 'i') {
            int32_t v = 0;
            if (!r.i32(v)) return false;
            a.num = v;
        } else if (*t == 'u') {
            uint32_t v = 0;
            if (!r.u32(v)) return false;
            a.num = v;
        } else if (!r.str(a.str)) {
            return false;
        }
        args.push_back(std::move(a));
    }
    return r.at_end();
}

std::vector<uint8_t> plain_reply(const OpLayout& layout, uint32_t seq, int32_t result) {
    wire::Writer w(wire::Kind::Reply, seq, static_cast<uint16_t>(layout.op));
    w.i32(result);
    for (const char* t = layout.reply; *t; ++t) {
        switch (*t) {
            case 'i': w.i32(0); break;
            case 'u': w.u32(0); break;
            case 's': w.str(""); break;
            case 'b': w.bytes(nullptr, 0); break;
            default: break;
        }
    }
    return w.frame();
}

}  // namespace tessaro::sim
