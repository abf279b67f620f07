// Every committed fuzz input (the seeds and each input a fuzzer once failed
// on) through the fuzzers' own checks, so that they run in every build: on
// the 32-bit big-endian target too, where no fuzzer runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "harness.h"

namespace {

namespace fs = std::filesystem;

thread_local const char *current_file = "";

void record(const char *what, qv::Type t)
{
    ADD_FAILURE() << current_file << ": " << qv::type_name(t) << ": " << what;
}

class Corpus : public testing::TestWithParam<const qf::Family *> {};

TEST_P(Corpus, EveryInputKeepsEveryPromise)
{
    const qf::Family &fam = *GetParam();
    size_t inputs = 0;
    for (const char *kind : {"corpus", "regressions"}) {
        fs::path dir = fs::path(QUILLET_SOURCE_DIR) / "fuzz" / kind / fam.name;
        if (!fs::is_directory(dir))
            continue;
        for (const auto &entry : fs::directory_iterator(dir)) {
            std::ifstream in(entry.path(), std::ios::binary);
            qt::Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::string name = entry.path().string();
            current_file = name.c_str();
            qf::run(fam, data.data(), data.size(), record);
            ++inputs;
        }
    }
    EXPECT_GT(inputs, 10u) << "the seeds of " << fam.name << " are missing";
}

INSTANTIATE_TEST_SUITE_P(Fuzz, Corpus,
                         testing::Values(&qf::kFamilies[0], &qf::kFamilies[1], &qf::kFamilies[2]),
                         [](const testing::TestParamInfo<const qf::Family *> &p) {
                             return std::string(p.param->name);
                         });

} // namespace
