// The filter end to end: which road a job takes, what reaches the next stage, exit statuses.
#include "../filter/rasterizer.h"
#include "filter_run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

// What the stand-in gs sees of its confinement on this kernel, with the test build's limits.
// Outside, the run's directory: in namespaces it lies in the /tmp their tmpfs hides.
std::string expected_confinement(bool in_namespaces) {
    const Confinement layers = probe_confinement();
    return std::string("nnp=1 seccomp=") +
           (layers.seccomp ? "2 truncate=EACCES" : "0 truncate=opened") + " write-outside=" +
           (in_namespaces             ? "ENOENT"
            : layers.landlock_abi > 0 ? "EACCES"
                                      : "opened") +
           " as=" + std::to_string(filter_config.limits.address_space >> 20) +
           "MiB cpu=" + std::to_string(filter_config.limits.cpu_seconds) + "s core=0";
}

// Each call the seccomp filter refuses, with its answer.
const char SECCOMP_REFUSALS[] =
    "socket=EPERM socketpair=EPERM creat=EACCES open-trunc=EACCES openat-trunc=EACCES "
    "openat2=ENOSYS io_uring=EPERM unshare=EPERM setns=EPERM mount=EPERM clone-newuser=EPERM "
    "foreign=EPERM";

// The variables the rasterizer may get: the locale, the time zone, PATH, Ghostscript's (and
// PWD, which the shell sets itself).
bool only_kept_variables(const std::string &names) {
    const std::regex kept("(PATH|TMPDIR|LANG|LC_\\w+|TZ|GS_LIB|GS_FONTPATH|PWD) ");
    std::istringstream each(names);
    for (std::string name; each >> name;)
        if (!std::regex_match(name + " ", kept)) return false;
    return names.find("PATH") != std::string::npos && names.find("TMPDIR") != std::string::npos;
}

// In namespaces the private tmpfs is the job's /tmp; where they are refused, a private
// directory in the run's TMPDIR.
TEST(Driver, JobTakesItsRoadAndArrivesWhole) {
    const std::regex private_tmpdir(R"(\$RUN/tmp/ravofilter\.\w{6} dir 448)"); // mode 0700
    const Confinement layers = probe_confinement();
    for (const Job_Case &row : job_cases) {
        for (bool namespaces_refused : {false, true}) {
            SCOPED_TRACE(testing::PrintToString(row.job.substr(0, 8)) + " of " +
                         std::to_string(row.job.size()) + " bytes" +
                         (namespaces_refused ? ", namespaces refused" : ""));
            Filter_Run run = run_filter({.job = row.job,
                                         .settings = std::nullopt,
                                         .namespaces_refused = namespaces_refused});
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.gs_ran, row.rasterized);
            if (row.rasterized) {
                EXPECT_EQ(run.gs_command, gs_command(1, 360, 2976, 4209));
                EXPECT_TRUE(run.gs_input == row.job); // unconsumed, 0x04 included
                EXPECT_EQ(run.gs_fds, "0 1 2 ");
                EXPECT_TRUE(only_kept_variables(run.gs_environment)) << run.gs_environment;
                EXPECT_EQ(run.out, "PNG-DATA"); // the filter itself adds nothing
                const bool in_namespaces = layers.namespaces && !namespaces_refused;
                if (in_namespaces) {
                    EXPECT_EQ(run.gs_tmpdir, "/tmp dir 448");
                } else {
                    EXPECT_TRUE(std::regex_match(run.gs_tmpdir, private_tmpdir)) << run.gs_tmpdir;
                }
                EXPECT_EQ(run.gs_confinement, expected_confinement(in_namespaces));
                if (layers.seccomp) {
                    EXPECT_EQ(run.gs_refused, SECCOMP_REFUSALS);
                }
                EXPECT_FALSE(run.private_dirs_left);
            } else {
                EXPECT_TRUE(run.out == row.job);
                EXPECT_EQ(run.err, "");
            }
            if (!row.rasterized) break; // the road to copy has no confinement to vary
        }
    }
}

// What native code in the rasterizer's place can read: not a job file in a spool directory
// (root:lp 0640, as CUPS keeps them), nor another job's private directory there, nor the
// spooler's other places; only the system's files.
TEST(Driver, RasterizerReadsOnlyTheSystem) {
    if (probe_confinement().landlock_abi == 0) GTEST_SKIP() << "no Landlock on this kernel";
    char spool_template[] = "/var/tmp/ravofilter-test-spool-XXXXXX";
    const std::string spool = mkdtemp(spool_template);
    std::filesystem::create_directory(spool + "/ravofilter.Other1");
    for (const std::string &file : {spool + "/d00001-001", spool + "/ravofilter.Other1/page"}) {
        std::ofstream(file) << "another user's job";
        chmod(file.c_str(), 0640);
    }
    // That job is still running: its filter holds the lock, so it is no stale directory, old
    // as it is, and a later job must leave it alone.
    const int other_job = open((spool + "/ravofilter.Other1").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(other_job, LOCK_EX), 0);
    usleep(useconds_t(filter_config.limits.stale_dir_seconds) * 1000000 + 100000);
    for (bool namespaces_refused : {false, true}) {
        Filter_Run run = run_filter({.job = "%!PS\n",
                                     .tmpdir = spool,
                                     .reads = spool + "/d00001-001:" + spool +
                                              "/ravofilter.Other1/page:/var/tmp:/run:/usr/share",
                                     .namespaces_refused = namespaces_refused});
        EXPECT_EQ(run.gs_reads, "EACCES EACCES EACCES EACCES opened") << namespaces_refused;
    }
    EXPECT_TRUE(std::filesystem::exists(spool + "/ravofilter.Other1/page"));
    close(other_job);
    std::filesystem::remove_all(spool);
}

struct Outcome_Case {
    Filter_Setup setup;
    int status;
    std::string says = ""; // the start of a line the filter writes on standard error
};

const std::string CANNOT_START = "ravofilter: cannot start the rasterizer: ";
const std::string WROTE_FILES =
    "ravofilter: the job wrote files of its own instead of printing its pages\n";

const Outcome_Case outcome_cases[] = {
    {{.job = "%!PS\n", .gs = "1"}, 2},
    {{.job = "%!PS\n", .gs = "signal"}, 2},
    {{.job = "%!PS\n", .gs = "missing"}, 2},
    {{.job = "%!PS\n", .gs = "leave-file"}, 2, WROTE_FILES}, // pages sent to a file: not printed
    {{.job = "%!PS\n", .gs = "hang", .terminate_with = SIGTERM}, 2},
    {{.job = "%!PS\n", .gs = "hang", .terminate_with = SIGINT}, 2},
    {{.job = "%!PS\n", .gs = "hang", .terminate_with = SIGHUP}, 2},
    {{.job = "%!PS\n", .gs = "hang", .terminate_with = SIGKILL}, 128 + SIGKILL},
    {{.job = "%!PS\n", .gs = "hang", .terminate_with = SIGTERM, .namespaces_refused = true}, 2},
    {{.job = "%!PS\n", .gs = "leave-file", .namespaces_refused = true}, 2, WROTE_FILES},
    {{.job = "%!PS\n", .namespaces_refused = true, .mkdir_refused = true},
     1,
     "ravofilter: cannot make a private directory: Permission denied\n"},
    {{.job = "%!PS\n", .gs = "signal", .namespaces_refused = true}, 2},
    {{.job = "%!PS\n", .namespaces_refused = true, .stale_dir = true}, 0}, // and it is removed
    {{.job = "%!PS\n", .gs = "0", .tmpdir = "/nonexistent", .namespaces_refused = true},
     0},                                                        // falls back to /tmp
    {{.job = "%!PS\n", .gs = "0", .sigchld_ignored = true}, 0}, // its status still counts
    {{.job = "%!PS\n", .gs = "1", .sigchld_ignored = true}, 2},
    {{.job = "%!PS\n", .input = Job_Input::Pipe}, 1},
    {{.job = "text\n", .input = Job_Input::Pipe}, 1},
    {{.job = "text\n", .input = Job_Input::Closed}, 1},
    {{.job = "text\n", .output_full = true}, 1},
    {{.job = junk(200000), .output_full = true}, 1},
    {{.job = "text\n", .reads_fail = true}, 1},
    // Too few processes for the filter's own forks (its own, in namespaces, the job's first
    // process): whichever fails, the job is retried.
    {{.job = "%!PS\n", .unprivileged = true, .process_limit = 1}, 1, CANNOT_START},
    {{.job = "%!PS\n", .unprivileged = true, .process_limit = 2}, 1, CANNOT_START},
    {{.job = "%!PS\n", .unprivileged = true, .process_limit = 3}, 1, CANNOT_START},
    {{.job = "%!PS\n", .unprivileged = true, .namespaces_refused = true, .process_limit = 1},
     1,
     CANNOT_START},
};

// Failures reach the spooler as a status: 1 for input or copy trouble, 2 for a failed raster.
// Whatever the end, the rasterizer and its private directory are gone with the filter.
TEST(Driver, FailuresEndInTheirExitStatus) {
    bool skipped = false;
    for (const Outcome_Case &row : outcome_cases) {
        if (row.setup.unprivileged && geteuid() != 0) { // only root can run as nobody
            skipped = true;
            continue;
        }
        Filter_Run run = run_filter(row.setup);
        SCOPED_TRACE("gs " + row.setup.gs + ", input " + std::to_string(int(row.setup.input)) +
                     ", signal " + std::to_string(row.setup.terminate_with) + ", processes " +
                     std::to_string(row.setup.process_limit));
        EXPECT_EQ(run.status, row.status);
        EXPECT_FALSE(run.processes_left);
        EXPECT_FALSE(run.private_dirs_left);
        if (row.setup.input != Job_Input::File) {
            EXPECT_EQ(run.out + run.err, ""); // unmappable input: nothing at all
            EXPECT_FALSE(run.gs_ran);
        }
        if (!row.says.empty()) {
            EXPECT_TRUE(run.err.rfind(row.says, 0) == 0 ||
                        run.err.find("\n" + row.says) != std::string::npos)
                << run.err;
        }
    }
    if (skipped) GTEST_SKIP() << "the rows run as nobody need root";
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
