// The filter end to end: which road a job takes, what reaches the next stage, exit statuses.
#include "filter_run.h"

#include <gtest/gtest.h>

#include <random>

using namespace std::string_literals;

namespace {

// The start, then bytes of every value (NUL included) up to size bytes in all.
std::string junk(size_t size, const std::string &start = "") {
    std::mt19937 random(size);
    std::string bytes = start;
    while (bytes.size() < size)
        bytes += char(random() % 8 == 0 ? 0 : random());
    return bytes;
}

struct Job_Case {
    std::string job;
    bool rasterized;
};

const Job_Case job_cases[] = {
    {"", false},
    {"%", false},
    {"\x04", false},
    {"\x04%", false},
    {"%x", false},
    {" %!PS\n", false},
    {"\0%!"s, false},
    {"\x04%x", false},
    {"%!", true},
    {"\x04%!", true},
    {"%!PS-Adobe-3.0\n%%Pages: 1\nshowpage\n", true},
    {junk(70000, "\x04%!PS-Adobe-3.0 EPSF-3.0\n"), true},
    {junk(65534, "%%!"), false},
    {junk(65535, "x"), false},
    {junk(5 << 20), false},
};

TEST(Driver, JobTakesItsRoadAndArrivesWhole) {
    for (const Job_Case &row : job_cases) {
        SCOPED_TRACE(testing::PrintToString(row.job.substr(0, 8)) + " of " +
                     std::to_string(row.job.size()) + " bytes");
        Filter_Run run = run_filter({row.job, std::nullopt});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.gs_ran, row.rasterized);
        if (row.rasterized) {
            EXPECT_EQ(run.gs_command, gs_command(1, 360, 2976, 4209));
            EXPECT_TRUE(run.gs_input == row.job); // unconsumed, 0x04 included
            EXPECT_EQ(run.gs_fds, "0 1 2 ");
            EXPECT_EQ(run.out, "PNG-DATA"); // the filter itself adds nothing
        } else {
            EXPECT_TRUE(run.out == row.job);
            EXPECT_EQ(run.err, "");
        }
    }
}

struct Outcome_Case {
    Filter_Setup setup;
    int status;
};

const Outcome_Case outcome_cases[] = {
    {{.job = "%!PS\n", .gs = "1"}, 2},
    {{.job = "%!PS\n", .gs = "signal"}, 2},
    {{.job = "%!PS\n", .gs = "missing"}, 2},
    {{.job = "%!PS\n", .input = Job_Input::Pipe}, 1},
    {{.job = "text\n", .input = Job_Input::Pipe}, 1},
    {{.job = "text\n", .input = Job_Input::Closed}, 1},
    {{.job = "text\n", .output_full = true}, 1},
    {{.job = junk(200000), .output_full = true}, 1},
    {{.job = "text\n", .reads_fail = true}, 1},
};

// Failures reach the spooler as a status: 1 for input or copy trouble, 2 for a failed raster.
TEST(Driver, FailuresEndInTheirExitStatus) {
    for (const Outcome_Case &row : outcome_cases) {
        Filter_Run run = run_filter(row.setup);
        SCOPED_TRACE("gs " + row.setup.gs + ", input " + std::to_string(int(row.setup.input)));
        EXPECT_EQ(run.status, row.status);
        if (row.setup.input != Job_Input::File) {
            EXPECT_EQ(run.out + run.err, ""); // unmappable input: nothing at all
            EXPECT_FALSE(run.gs_ran);
        }
    }
}

// Memcheck on both roads: no invalid access, no leak, and gs inherits only 0, 1 and 2.
TEST(Driver, CleanUnderMemcheck) {
#ifdef RAVOFILTER_SANITIZE
    GTEST_SKIP() << "sanitized executables do not run under valgrind";
#endif
    const std::string valid = "[Q]\nink=MONO\nresolution=720\nmediasize=A4\n";
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        {junk(300000, "text"), std::nullopt},
        {"%!PS\n", valid},
        {"%!PS\n", "[Q]\n=malformed\n"},
        {"%!PS\n", std::nullopt},
    };
    for (const auto &[job, settings] : rows) {
        Filter_Run run = run_filter({.job = job, .settings = settings, .under_valgrind = true});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err.find("=="), std::string::npos) << run.err;
        EXPECT_TRUE(run.gs_ran ? run.gs_fds == "0 1 2 " : run.out == job);
    }
}
} // namespace
