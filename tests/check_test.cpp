// ravofilter-check: a finding for every reason the filter falls back to its defaults and for
// lines that rarely mean what was written, the outcome, and the road of each job.
#include "../filter/rasterizer.h"
#include "filter_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
    {MODEL + "resolution=abc\nmediasize=a4\npapersource=Tray1\n", // every fault, in one run
     1,
     {"ravorc:1: error: the section sets no ink",
      "ravorc:2: error: also: resolution has no digits and reads as 0",
      "ravorc:4: error: also: unknown paper source \"Tray1\"",
      "ravorc:3: error: also: paper source AUTO takes no media size \"a4\"; did you mean A4?"}},
    {MODEL + "ink=MONO\nresolution=72\nmediasize=Letter\n",
     1,
     {"ravorc:4: error: paper source AUTO takes no media size \"Letter\"; did you mean LT?"}},
    {MODEL + "ink=MONO\nresolution=72\nmediasize=A4 Landscape\n",
     1,
     {"no media size \"A4Landscape\"; did you mean A4?"}},
    {MODEL + "ink=MONO\nresolution=1\nmediasize=A4\n", // settings every job fails with
     1,
     {"ravorc:3: error: Ghostscript cannot rasterize at 1 dpi (rangecheck in setscreen)"}},
    {MODEL + "ink=MONO\nresolution=2\nmediasize=A4\n", 0, {"settings: grey, 2 dpi, A4"}},
    {MODEL + "ink=MONO\nresolution=300000\nmediasize=A4\n",
     1,
     {"ravorc:3: error: at 300000 dpi a page is 2480000 x 3507500 pixels, and the PNG writer"}},
    {MODEL + "ink=MONO\nresolution=72000\nmediasize=A4\n",
     1,
     {"ravorc:3: error: at 72000 dpi a page is 595200 x 841800 pixels",
      "beyond the rasterizer's limit of 3600 s"}},
    {MODEL + "ink=COLOR\nresolution=7200\nmediasize=A4\n",
     0,
     {"ravorc:3: warning: at 7200 dpi a page is 59520 x 84180 pixels, which takes at least "
      "about 135 s"}},
    {"\xef\xbb\xbf" + MODEL + "ink=MONO\nresolution=72\nmediasize=A4\xc2\xa0\n", // unseen bytes
     1,
     {"ravorc:1: note: column 1 of \"\\xef\\xbb\\xbf[Quorvin 7X Series]\": a UTF-8 byte-order mark",
      "ravorc:4: note: column 13 of \"mediasize=A4\\xc2\\xa0\": a no-break space (U+00A0)"}},
    {MODEL + "ink=MONO\nresolution=72\nmediasize=A4 ; office paper\npapersource=\"AUTO\"\n",
     1,
     {"ravorc:4: note: column 14 of \"mediasize=A4 ; office paper\": a comment character",
      "ravorc:5: note: column 13 of \"papersource=\\x22AUTO\\x22\": a quote"}},
    {"[Quorvin 7X Series]\rink=MONO\rresolution=72\rmediasize=A4\r",
     1,
     {"ravorc:1: warning: the lines end in a carriage return alone (old Mac line ends)"}},
    {MODEL + "ink=MONO\nresolution=72\nmediasize=A4\x01\n",
     1,
     {"ravorc:4: note: column 13 of \"mediasize=A4\\x01\": a control character 0x01"}},
    {MODEL + "=MONO\nresolution=abc\nmediasize=\nink=COLOR\n", // past a malformed line
     1,
     {"ravorc:2: error: a line that starts with \"=\"",
      "ravorc:4: error: mediasize without a value: the file is malformed",
      "ravorc:3: error: also: resolution has no digits and reads as 0",
      "ravorc:1: error: also: the section sets no media size",
      "because the file is malformed (line 2)"}},
    {MODEL + "ink=MONO\nresolution=-720\nmediasize=A4\n",
     1,
     {"ravorc:3: error: resolution -720 is not greater than 0"}},
    {MODEL + "ink=MONO\nresolution=700000\nmediasize=ENV10\n",
     1,
     {"ravorc:3: error: resolution 700000 is too large for ENV10: the page would not fit in 32 "
      "bits; at most 627919"}},
    {MODEL + "ink=MONO\nresolution=720\n", 1, {"ravorc:1: error: the section sets no media size"}},
    {MODEL + "ink=MONO\nresolution=720\npapersource=Tray9\n", // no size, and no table to take one
     1,
     {"ravorc:1: error: the section sets no media size",
      "ravorc:4: error: also: unknown paper source \"Tray9\""}},
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
    {MODEL + VALID, // read for real as the spooler's users, when run as root
     geteuid() == 0 ? 1 : 0,
     {geteuid() == 0 ? "ravorc: error: as lp, the user BSD lpd and CUPS run the filter as, the "
                       "filter falls back to its defaults: cannot open it: Permission denied"
                     : "read as: "},
     0600},
};

TEST(Checker, ExplainsEachFindingAndTheOutcome) {
    for (const Finding_Case &row : finding_cases) {
        SCOPED_TRACE(row.settings.value_or("(no file)"));
        const Check_Run run = run_checker(row.settings, {}, row.mode);
        EXPECT_EQ(run.status, row.status);
        for (const std::string &line : row.says) // findings, then the report
            EXPECT_NE((run.err + run.out).find(line), std::string::npos)
                << "missing: " << line << "\nin:\n"
                << run.err + run.out;
    }
}

struct Job_Case {
    std::string job;
    std::string says; // after "job0: "
    bool prints;      // as its sender likely expects
};

const Job_Case job_cases[] = {
    {"%!PS\n", "rasterized as PostScript: it starts with \"%!PS\\x0a\"", true},
    {"\x04%!PS\n", "rasterized as PostScript", true},
    {"Plain text, no PostScript\n",
     "copied to the printer unchanged: it starts with \"Plain text, \"", true},
    {"%PDF-1.7\n", "warning: it is a PDF, which the printer cannot take", false},
    {"\xef\xbb\xbf%!PS\n", "warning: it is PostScript behind a UTF-8 byte order mark", false},
    {"\x1b%-12345X@PJL\n", "warning: it starts with a PJL header", false},
    {"@PJL ENTER LANGUAGE = POSTSCRIPT\n", "warning: it starts with a PJL header", false},
    {"\xc5\xd0\xd3\xc6\x20\0\0\0"s, "warning: it is an EPS file with a DOS binary header", false},
    {"\x1f\x8b\x08\0"s, "warning: it is gzip-compressed", false},
    {"", "warning: it is empty", false},
};

// The road comes from the filter's own classification; copied jobs a user meant to print
// get a word on what they are, and make the outcome 1, as do jobs that cannot be read.
TEST(Checker, TellsEachJobsRoad) {
    for (size_t index = 0; index < std::size(job_cases); ++index) {
        const Check_Run run = run_checker(MODEL + VALID, {job_cases[index].job});
        EXPECT_NE((run.out + run.err).find("job0: " + job_cases[index].says), std::string::npos)
            << job_cases[index].says << "\nin:\n"
            << run.out + run.err;
        EXPECT_EQ(run.status, job_cases[index].prints ? 0 : 1) << job_cases[index].says;
    }
    EXPECT_EQ(run_checker(MODEL + VALID, {"Plain text\n"}).err, ""); // text needs no word
    const Check_Run unreadable =
        run_checker(MODEL + VALID, {}, 0644, {"-f", "ravorc", ".", "missing-job"});
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_EQ(unreadable.err,
              ".: error: it is a directory, not a regular file: the filter refuses it (status 1)\n"
              "missing-job: error: cannot open it: No such file or directory\n");
}

// A FIFO or a directory at the settings path is named; neither the checker nor the filter
// waits on a FIFO.
TEST(Checker, NamesAFifoWithoutWaiting) {
    char dir_template[] = "/tmp/ravofilter-test-XXXXXX";
    const std::string fifo = std::string(mkdtemp(dir_template)) + "/ravorc";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const Check_Run run = run_checker(std::nullopt, {}, 0644, {"-f", fifo});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(fifo + ": error: it is a FIFO (named pipe), not a regular file"),
              std::string::npos)
        << run.err;
    std::filesystem::remove_all(fifo.substr(0, fifo.rfind('/')));
    const Check_Run directory = run_checker(std::nullopt, {}, 0644, {"-f", "."});
    EXPECT_EQ(directory.status, 1);
    EXPECT_NE(directory.err.find(".: error: it is a directory, not a file"), std::string::npos)
        << directory.err;
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

struct Report_Case {
    std::string settings;
    std::string findings;     // all of standard error
    std::string report_start; // the settings: and command: lines
};

const Report_Case report_cases[] = {
    {MODEL + "resolution=abc\nmediasize=Letter\npapersource=Tray1\n",
     "ravorc:1: error: the section sets no ink: ink=MONO (grey) or ink=COLOR\n"
     "ravorc:2: error: also: resolution has no digits and reads as 0\n"
     "ravorc:4: error: also: unknown paper source \"Tray1\"; the paper sources are AUTO, ROLL, "
     "TROLL, TR3300, TR820, TAUTO, T4AUTO\n"
     "ravorc:3: error: also: paper source AUTO takes no media size \"Letter\"; did you mean LT? "
     "It takes A4, A5, A6, A3, A3+, B5, B4, PC, DPC, PHOTO, L, ENVC3, ENVC4, ENVY1, ENVY2, "
     "ENVY3, ENVY4, LT, LGL, EXE, HLT, INDEX5, INDEX8, ENV10, ENVDL, ENVC6, ENV5X8, PP100, "
     "PP200, PANORAM\n",
     "settings: defaults (colour, 360 dpi, A4: 2976 x 4209 pixels), because the printer's "
     "section gives no usable settings (line 1); the filter writes \"ravorc not read\"\n"
     "command: " +
         gs_command(1, 360, 2976, 4209) + "\n"},
    {MODEL + "ink=MONO\nresolution=720dpi\nmediasize=A4\nmediasize=A5\n",
     "ravorc:3: warning: resolution \"720dpi\": the text after the digits is ignored\n"
     "ravorc:5: warning: mediasize given again (before at line 4): line 5 wins\n",
     "settings: grey, 720 dpi, A5 from paper source AUTO: 4196 x 5952 pixels (148.0 x 210.0 "
     "mm)\ncommand: " +
         gs_command(2, 720, 4196, 5952) + "\n"},
};

// Whole reports, to the letter: the findings, then the settings and the command.
TEST(Checker, FullReportsExactly) {
    for (const Report_Case &row : report_cases) {
        const Check_Run run = run_checker(row.settings);
        EXPECT_EQ(run.err, row.findings);
        EXPECT_EQ(run.out.substr(0, row.report_start.size()), row.report_start);
    }
}

struct Convention_Case {
    std::vector<std::string> arguments;
    int status;
    std::string out_starts, err_starts; // "-": empty
};

const std::string USAGE = "usage: ravofilter-check [-q] [-f FILE] [JOB...]\n";

const Convention_Case convention_cases[] = {
    {{"-h"}, 0, USAGE, "-"},
    {{"--help"}, 0, USAGE, "-"},
    {{"--version"}, 0, "ravofilter-check 1.0.0\n", "-"},
    {{"-x"}, 2, "-", "ravofilter-check: invalid option -- 'x'\n" + USAGE},
    {{"--frobnicate"}, 2, "-", "ravofilter-check: unrecognized option '--frobnicate'\n" + USAGE},
    {{"-f"}, 2, "-", "ravofilter-check: option requires an argument -- 'f'\n" + USAGE},
    {{"-f", "ravorc"}, 0, "settings: grey, 720 dpi", "-"},
    {{"-fravorc"}, 0, "settings: grey, 720 dpi", "-"},
    {{"--file=ravorc"}, 0, "settings: grey, 720 dpi", "-"},
    {{"-f", "missing"}, 1, "settings: defaults", "missing: error: cannot open it"},
    {{"-q", "-f", "missing"}, 1, "-", "-"},
    {{"--quiet", "-f", "ravorc"}, 0, "-", "-"},
    {{"missing-job", "-f", "ravorc"}, 1, "settings: grey", "missing-job: error: cannot open"},
    {{"-f", "ravorc", "--", "-q"}, 1, "settings: grey", "-q: error: cannot open"},
};

// Options as tools of its kind take them; usage errors exit 2 and name the option.
TEST(Checker, ConventionsOfItsKind) {
    for (const Convention_Case &row : convention_cases) {
        SCOPED_TRACE(testing::PrintToString(row.arguments));
        const Check_Run run = run_checker(MODEL + VALID, {}, 0644, row.arguments);
        EXPECT_EQ(run.status, row.status);
        if (row.out_starts == "-") {
            EXPECT_EQ(run.out, "");
        } else {
            EXPECT_EQ(run.out.substr(0, row.out_starts.size()), row.out_starts) << run.out;
        }
        if (row.err_starts == "-") {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_EQ(run.err.substr(0, row.err_starts.size()), row.err_starts) << run.err;
        }
    }
}

// The same finding on many lines, or many times on one, comes once with a count; after a
// hundred findings the rest are counted.
TEST(Checker, OutputStaysBounded) {
    const Check_Run comments = run_checker(MODEL + std::string(20000, 'x') + "\n" + VALID);
    EXPECT_EQ(comments.err,
              "ravorc:2: warning: longer than 253 characters: the filter reads it in pieces, each "
              "as a line of its own (79 times)\n"
              "ravorc:2: warning: unknown key \"" +
                  std::string(60, 'x') +
                  "\" is ignored (79 times)\n"
                  "ravorc:2: warning: unknown key \"" +
                  std::string(13, 'x') + "\" is ignored\n");
    std::string lines;
    for (int line = 0; line < 5000; ++line)
        lines += "#comment\n";
    EXPECT_EQ(run_checker(MODEL + lines + VALID).err,
              "ravorc:2: warning: unknown key \"#comment\" is ignored (5000 times, lines 2 to "
              "5001)\n");
    std::string keys;
    for (int key = 0; key < 300; ++key)
        keys += "key" + std::to_string(key) + "=1\n\n";
    const Check_Run many = run_checker(MODEL + keys + VALID);
    EXPECT_EQ(std::count(many.err.begin(), many.err.end(), '\n'), 101);
    EXPECT_NE(many.err.find("ravofilter-check: 200 more findings not shown\n"), std::string::npos);
}

} // namespace
