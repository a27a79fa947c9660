// Cost of encoding and decoding the protocol's records: one node report, and
// a job list of 64 jobs, each as one whole frame body.
#include <benchmark/benchmark.h>

#include "protocol/messages.h"

using namespace tessaro;

namespace {

proto::NodeInfo sample_node() {
    proto::NodeInfo n;
    n.handle = 42;
    n.nodeid = 0x123456789LL;
    n.fullname = "machine.axes.x.position";
    n.name = "position";
    n.path = "machine.axes.x";
    n.value = "12.500000";
    n.priv = "rw";
    n.unit = "mm";
    n.type = 3;
    n.typestring = "VT_R32";
    n.min = -100.0f;
    n.max = 100.0f;
    n.index = 3;
    return n;
}

proto::JobInfo sample_jobs(int count) {
    proto::JobInfo j;
    for (int i = 0; i < count; ++i) {
        j.jobnames.push_back("Job" + std::to_string(i));
        j.fulljobnames.push_back("jobs.Job" + std::to_string(i));
    }
    j.selectednode = "jobs.Job7";
    return j;
}

void BM_EncodeNodeInfo(benchmark::State& state) {
    const proto::NodeInfo n = sample_node();
    for (auto _ : state) {
        wire::Writer w(wire::Kind::Reply, 1, static_cast<uint16_t>(proto::Op::GetNodeInfo));
        w.i32(0);
        proto::put(w, n);
        benchmark::DoNotOptimize(w.frame());
    }
}
BENCHMARK(BM_EncodeNodeInfo);

void BM_DecodeNodeInfo(benchmark::State& state) {
    wire::Writer w(wire::Kind::Reply, 1, static_cast<uint16_t>(proto::Op::GetNodeInfo));
    w.i32(0);
    proto::put(w, sample_node());
    const std::vector<uint8_t> body = w.body();
    for (auto _ : state) {
        wire::Reader r(body);
        int32_t rc = 0;
        proto::NodeInfo n;
        bool ok = r.i32(rc) && proto::get(r, n);
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(BM_DecodeNodeInfo);

void BM_RoundTripJobInfo(benchmark::State& state) {
    const proto::JobInfo jobs = sample_jobs(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        wire::Writer w(wire::Kind::Reply, 1, static_cast<uint16_t>(proto::Op::GetJobInfo));
        w.i32(0);
        proto::put(w, jobs);
        wire::Reader r(w.body());
        int32_t rc = 0;
        proto::JobInfo back;
        bool ok = r.i32(rc) && proto::get(r, back);
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(BM_RoundTripJobInfo)->Arg(8)->Arg(64);

}  // namespace
