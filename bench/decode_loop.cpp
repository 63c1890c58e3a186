// Calls decode() on one base64 payload in a loop, without Python, so that perf and callgrind see
// only the core:  velunda_decode_loop KIND VERSION FILE [ROUNDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "json/decode_json.hpp"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s KIND VERSION FILE [ROUNDS]\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[3], std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::uint64_t version = std::strtoull(argv[2], nullptr, 10);
    const long rounds = argc > 4 ? std::atol(argv[4]) : 100;
    std::size_t output = 0;
    // The best of ten batches: the machine's noise only ever adds time.
    double best = 1e300;
    for (int batch = 0; batch < 10; ++batch) {
        const auto start = std::chrono::steady_clock::now();
        for (long round = 0; round < rounds; ++round) {
            const auto outcome = velunda::json::decode(argv[1], version, text);
            if (!outcome.ok()) {
                std::fprintf(stderr, "%s\n", outcome.message(argv[1]).c_str());
                return 1;
            }
            output = outcome.json().size();
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / rounds;
        if (seconds < best) best = seconds;
    }
    std::printf("%.3f us per call, %zu bytes out, %.0f MB/s\n", best * 1e6, output, output / best / 1e6);
}
