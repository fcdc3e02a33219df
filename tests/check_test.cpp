// ravofilter-check: a finding for every reason the filter falls back to its defaults and for
// lines that rarely mean what was written, the outcome, and the road of each job.
#include "../filter/rasterizer.h"
#include "filter_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

using namespace std::string_literals;

namespace {

const std::string MODEL = "[Quorvin 7X Series]\n";
const std::string VALID = "ink=MONO\nresolution=720\nmediasize=A4\n";
const std::string NOT_READ = "; the filter writes \"ravorc not read\"";

struct Finding_Case {
    std::optional<std::string> settings;
    int status;                    // 0: the filter uses the settings; 1: its defaults
    std::vector<std::string> says; // lines, or their beginnings, the checker must print
    mode_t mode = 0644;
};

const Finding_Case finding_cases[] = {
    {MODEL + VALID,
     0,
     {"settings: grey, 720 dpi, A4 from paper source AUTO: 5952 x 8418 pixels (210.0 x 297.0 mm)",
      "command: " + gs_command(2, 720, 5952, 8418),
      "rasterizer: gs is not on PATH: PostScript jobs will fail with status 2"}},
    {std::nullopt,
     1,
     {"ravorc: error: cannot open it: No such file or directory",
      "settings: defaults (colour, 360 dpi, A4: 2976 x 4209 pixels), because the file cannot be "
      "opened; the filter writes \"ravorc : No such file\"",
      "command: " + gs_command(1, 360, 2976, 4209)}},
    {"#printers\n" + MODEL + VALID,
     1,
     {"ravorc:1: error: \"#printers\" stands before the first section header",
      "because the file is malformed (line 1)" + NOT_READ}},
    {"\n[\n" + MODEL, 1, {"ravorc:2: error: a header \"[\" without a name"}},
    {"[Other Printer]\n[quorvin 7x series]\n" + VALID,
     1,
     {"ravorc: error: no section for Quorvin 7X Series; headers seen: [OtherPrinter], "
      "[quorvin7xseries]\n",
      "ravorc: error: [quorvin7xseries] differs from the model name only in case or blanks",
      "because the file has no section for this printer\n"}},
    {MODEL + "=MONO\n" + VALID, 1, {"ravorc:2: error: a line that starts with \"=\""}},
    {MODEL + VALID + "mediasize=\n", 1, {"ravorc:5: error: mediasize without a value"}},
    {MODEL + "resolution=720\nmediasize=A4\n",
     1,
     {"ravorc:1: error: the section sets no ink",
      "because the printer's section gives no usable settings (line 1)" + NOT_READ}},
    {MODEL + "ink=MONO\nmediasize=A4\n", 1, {"ravorc:1: error: the section sets no resolution"}},
    {MODEL + "ink=MONO\nresolution=abc\nmediasize=A4\n",
     1,
     {"ravorc:3: error: resolution has no digits and reads as 0"}},
    {MODEL + "ink=MONO\nresolution=-720\nmediasize=A4\n",
     1,
     {"ravorc:3: error: resolution -720 is not greater than 0"}},
    {MODEL + "ink=MONO\nresolution=700000\nmediasize=ENV10\n",
     1,
     {"ravorc:3: error: resolution 700000 is too large for ENV10: the page would not fit in 32 "
      "bits; at most 627919"}},
    {MODEL + "ink=MONO\nresolution=720\n", 1, {"ravorc:1: error: the section sets no media size"}},
    {MODEL + VALID + "papersource=auto\n",
     1,
     {"ravorc:5: error: unknown paper source \"auto\"; the paper sources are AUTO, ROLL, TROLL, "
      "TR3300, TR820, TAUTO, T4AUTO"}},
    {MODEL + VALID + "papersource=ROLL\nmediasize=PHOTO\n",
     1,
     {"ravorc:6: error: paper source ROLL takes no media size \"PHOTO\"; it takes A4, A5, A6, "
      "A3, A3+, B5, B4, PC, DPC, LT, LGL, 4X6, L, LL, 2L, NC"}},
    {MODEL + VALID + "mediasize=A4XXXXXXXXXXXXXXXX\n",
     1,
     {"ravorc:5: error: mediasize is longer than 11 characters and names nothing"}},
    // Lines the filter accepts, but that rarely mean what was written.
    {MODEL + "Ink=x\nmedia_size=B4\nmediaSize=B5\nfoo=bar\ncomment\n" + VALID,
     0,
     {"ravorc:2: warning: unknown key \"Ink\" is ignored; did you mean \"ink\"?",
      "ravorc:3: warning: unknown key \"media_size\" is ignored; did you mean \"mediasize\"?",
      "ravorc:4: warning: unknown key \"mediaSize\" is ignored; did you mean \"mediasize\"?",
      "ravorc:5: warning: unknown key \"foo\" is ignored\n",
      "ravorc:6: warning: unknown key \"comment\" is ignored\n"}},
    {MODEL + VALID + "ink=mono\n",
     0,
     {"ravorc:5: warning: ink \"mono\" is neither MONO nor COLOR: the filter prints in colour",
      "ravorc:5: warning: ink given again (before at line 2): line 5 wins",
      "settings: colour, 720 dpi, A4"}},
    {MODEL + "ink=MONO\nresolution=720dpi\nmediasize=A4\n",
     0,
     {"ravorc:3: warning: resolution \"720dpi\": the text after the digits is ignored"}},
    {MODEL + std::string(300, ' ') + "\nink=MONO\0junk\n"s + VALID,
     0,
     {"ravorc:2: warning: longer than 253 characters: the filter reads it in pieces",
      "ravorc:3: warning: a NUL byte: the filter ignores the rest of the line"}},
    {"[Quorvin 7X Series] trailing\n" + VALID + "[Quorvin]\nink=COLOR\n",
     0,
     {"ravorc:1: warning: \"trailing\" after the header's \"]\" is ignored",
      "ravorc:5: warning: [Quorvin] names this printer too, but only the first such section "
      "(line 1) is read"}},
    {MODEL + VALID,
     0,
     {"ravorc: warning: not readable by others, nor by lp or daemon as owner or group"},
     0600},
};

TEST(Checker, ExplainsEachFindingAndTheOutcome) {
    for (const Finding_Case &row : finding_cases) {
        SCOPED_TRACE(row.settings.value_or("(no file)"));
        const Check_Run run = run_checker(row.settings, {}, row.mode);
        EXPECT_EQ(run.status, row.status);
        for (const std::string &line : row.says)
            EXPECT_NE(run.out.find(line), std::string::npos) << "missing: " << line << "\nin:\n"
                                                             << run.out;
    }
}

struct Job_Case {
    std::string job;
    std::string says; // after "job0: "
};

const Job_Case job_cases[] = {
    {"%!PS\n", "rasterized as PostScript: it starts with \"%!PS\\x0a\""},
    {"\x04%!PS\n", "rasterized as PostScript"},
    {"Plain text, no PostScript\n",
     "copied to the printer unchanged: it starts with \"Plain text, \""},
    {"%PDF-1.7\n", "it is a PDF, which the printer cannot take"},
    {"\xef\xbb\xbf%!PS\n", "it is PostScript behind a UTF-8 byte order mark"},
    {"\x1b%-12345X@PJL\n", "it starts with a PJL header"},
    {"@PJL ENTER LANGUAGE = POSTSCRIPT\n", "it starts with a PJL header"},
    {"\xc5\xd0\xd3\xc6\x20\0\0\0"s, "it is an EPS file with a DOS binary header"},
    {"\x1f\x8b\x08\0"s, "it is gzip-compressed"},
    {"", "it is empty"},
};

// The road comes from the filter's own classification; copied jobs a user meant to print
// get a word on what they are.
TEST(Checker, TellsEachJobsRoad) {
    std::vector<std::string> jobs;
    for (const Job_Case &row : job_cases)
        jobs.push_back(row.job);
    const Check_Run run = run_checker(MODEL + VALID, jobs);
    for (size_t index = 0; index < std::size(job_cases); ++index)
        EXPECT_NE(run.out.find("job" + std::to_string(index) + ": " + job_cases[index].says),
                  std::string::npos)
            << job_cases[index].says << "\nin:\n"
            << run.out;
    EXPECT_EQ(run.out.find("job2: it"), std::string::npos); // plain text needs no word
    const Check_Run directory = run_checker(MODEL + VALID, {}, 0644, {"-f", "ravorc", "."});
    EXPECT_NE(directory.out.find(".: refused with status 1"), std::string::npos);
}

// A FIFO at the settings path is named, and neither the checker nor the filter waits on it.
TEST(Checker, NamesAFifoWithoutWaiting) {
    char dir_template[] = "/tmp/ravofilter-test-XXXXXX";
    const std::string fifo = std::string(mkdtemp(dir_template)) + "/ravorc";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const Check_Run run = run_checker(std::nullopt, {}, 0644, {"-f", fifo});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find(fifo + ": error: it is a FIFO (named pipe), not a regular file"),
              std::string::npos)
        << run.out;
    std::filesystem::remove_all(fifo.substr(0, fifo.rfind('/')));
}

// The first layer, or why it is missing: then the private directory, without a bound.
TEST(Checker, NamesTheNamespacesOrWhyNot) {
    const std::string line = "confinement: user, mount and PID namespaces with a private /tmp";
    if (probe_confinement().namespaces) {
        EXPECT_NE(run_checker(MODEL + VALID).out.find(line), std::string::npos);
    }
    const Check_Run refused = run_checker(MODEL + VALID, {}, 0644, {}, true);
    EXPECT_NE(refused.out.find("confinement: no namespaces (the kernel refuses them: Operation "
                               "not permitted), so a private directory in $TMPDIR or /tmp"),
              std::string::npos)
        << refused.out;
}

TEST(Checker, UsageErrorsExitTwo) {
    for (const std::vector<std::string> &arguments :
         {std::vector<std::string>{"-x"}, std::vector<std::string>{"-f"}}) {
        const Check_Run run = run_checker(MODEL + VALID, {}, 0644, arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "usage: ravofilter-check [-f FILE] [JOB...]\n");
    }
}

} // namespace
