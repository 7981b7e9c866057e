// The library's CPU paths, without a link: the Bluetooth frame parser in
// bytes per second, usage-record unpacking and settings-record packing and
// unpacking per record.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bluetooth/bt_link.h"
#include "records/settings_record.h"
#include "text/usage_record.h"

namespace {

constexpr std::size_t settings_payload = 380;
constexpr int frames_per_stream = 64;

// A stream of settings-record frames, "$$" + payload + "##" each.
std::vector<unsigned char> frame_stream() {
    std::vector<unsigned char> stream;
    for (int f = 0; f < frames_per_stream; ++f) {
        stream.insert(stream.end(), {'$', '$'});
        for (std::size_t i = 0; i < settings_payload; ++i) stream.push_back(static_cast<unsigned char>('A' + i % 26));
        stream.insert(stream.end(), {'#', '#'});
    }
    return stream;
}

void frame_parsing(benchmark::State& state) {
    const std::vector<unsigned char> stream = frame_stream();
    unsigned char payload[settings_payload + 8];
    int frames = 0;
    for (auto _ : state) {
        int frame_state = bt_frame_idle;
        int stored = 0;
        for (const unsigned char& byte : stream) {
            frames += bt_get_data(&byte, payload, sizeof payload, &frame_state, &stored);
            if (frame_state == bt_frame_idle) stored = 0;
        }
        benchmark::DoNotOptimize(frames);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(frame_parsing);

void usage_record_unpacking(benchmark::State& state) {
    unsigned char record[usage_record_size] = {};
    const std::pair<std::size_t, const char*> fields[] = {{0, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"},
                                                          {32, "42"}, {64, "1.25"}, {80, "3"},
                                                          {96, "3.5"}, {104, "7"}, {112, "20"}, {120, "31"}};
    for (const auto& [at, text] : fields) std::memcpy(record + at, text, std::strlen(text));
    char number[32], water[16], text[32], product_1[8], product_2[8], water_2[8], water_3[8], key[40];
    const usage_outputs outputs = {number, water, text, product_1, product_2, water_2, water_3, key};
    for (auto _ : state) {
        benchmark::DoNotOptimize(util_unpack_usage_record(record, 0, 0, outputs, false));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(usage_record_unpacking);

const settings_input sample_input = {"Lobby", "Second floor", "Hall", "East", "120", "1", "Five",
                                     "Seven", "Eight", "Nine", 0, 0, 0, 0xFFFFFFFFu};

void settings_record_packing(benchmark::State& state) {
    unsigned char record[settings_payload] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(settings_put_texts(record, settings_long_layout, sample_input));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(settings_record_packing);

void settings_record_unpacking(benchmark::State& state) {
    unsigned char record[settings_payload] = {};
    settings_put_texts(record, settings_long_layout, sample_input);
    char out[11][128] = {};
    const settings_output output = {out[0], out[1], out[2], out[3], out[4], out[5],
                                    out[6], out[7], out[8], out[9], out[10]};
    for (auto _ : state) {
        settings_get_texts(record, settings_long_layout, output);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(settings_record_unpacking);

}  // namespace

BENCHMARK_MAIN();
