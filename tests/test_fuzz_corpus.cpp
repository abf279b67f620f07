// Every committed fuzz input (the seeds and each input a fuzzer once failed
// on) through the fuzzers' own checks, so that they run in every build: on
// the 32-bit big-endian target too, where no fuzzer runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "harness.h"

namespace {

std::string current_file;

class Corpus : public testing::TestWithParam<int> {};

TEST_P(Corpus, EveryInputKeepsEveryPromise)
{
    const qf::Family &fam = qf::kFamilies[GetParam()];
    size_t inputs = 0;
    for (const char *kind : {"corpus", "regressions"}) {
        std::error_code none; // a family without regressions
        const auto dir = std::filesystem::path(QUILLET_SOURCE_DIR) / "fuzz" / kind / fam.name;
        for (const auto &entry : std::filesystem::directory_iterator(dir, none)) {
            std::ifstream in(entry.path(), std::ios::binary);
            qt::Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            current_file = entry.path().string();
            qf::run(fam, data.data(), data.size(), [](const char *what, qv::Type t) {
                ADD_FAILURE() << current_file << ": " << qv::type_name(t) << ": " << what;
            });
            ++inputs;
        }
    }
    EXPECT_GT(inputs, 10u) << "the seeds of " << fam.name << " are missing";
}

INSTANTIATE_TEST_SUITE_P(Fuzz, Corpus, testing::Range(0, 3),
                         [](const testing::TestParamInfo<int> &p) { return std::string(qf::kFamilies[p.param].name); });

} // namespace
