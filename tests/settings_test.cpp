// The settings reader, seen through the command line it gives the rasterizer.
#include "filter_run.h"

#include <gtest/gtest.h>

#include <random>

using namespace std::string_literals;

namespace {

const std::string NOT_READ = "ravorc not read\n";
const std::string MODEL = "[Quorvin 7X Series]\n";
const std::string VALID = "ink=MONO\nresolution=720\nmediasize=A4\n"; // 2, 720, 5952, 8418
const std::string DEFAULT_COMMAND = gs_command(1, 360, 2976, 4209);

struct Settings_Case {
    std::string settings;
    std::string command; // expected rasterizer command
    std::string message; // expected standard error
};

const Settings_Case settings_cases[] = {
    {MODEL + VALID + "papersource=AUTO\n", gs_command(2, 720, 5952, 8418), ""},
    {MODEL + " ink = COLOR \r\nresolution\t= 300\r\n media size = A 4\r\n",
     gs_command(1, 300, 2480, 3507), ""},
    {MODEL + "ink=mono\nresolution=720\nmediasize=A5\n", gs_command(1, 720, 4196, 5952), ""},
    {MODEL + "ink=MONO\nresolution=720dpi\nmediasize=A4\n", gs_command(2, 720, 5952, 8418), ""},
    {MODEL + "resolution=720\nink=resolution\nmediasize=A4\n", gs_command(1, 720, 5952, 8418), ""},
    {MODEL + "ink=MONO\0junk\nresolution=720\nmediasize=A4\n"s, gs_command(2, 720, 5952, 8418), ""},
    {MODEL + "foo=bar\nmediasize=A3\n" + VALID, gs_command(2, 720, 5952, 8418), ""},
    {MODEL + "ink=COLOR\nresolution=360\npapersource=ROLL\nmediasize=A6\n",
     gs_command(1, 360, 1488, 2098), ""},
    {MODEL + "ink=COLOR\nresolution=360\npapersource=TR820\nmediasize=NC\n",
     gs_command(1, 360, 1261, 779), ""},
    {MODEL + "ink=COLOR\nresolution=255075\nmediasize=PANORAM\n",
     gs_command(1, 255075, 2108620, 5965212), ""},
    {"\n \t\n[Q]\n" + VALID, gs_command(2, 720, 5952, 8418), ""},
    {"[Quorvin7X\n" + VALID, gs_command(2, 720, 5952, 8418), ""},
    {"[Quorvin 7X Series]trailing\n" + VALID, gs_command(2, 720, 5952, 8418), ""},
    {"[Quorvin]\n" + VALID + MODEL + "ink=COLOR\n", gs_command(2, 720, 5952, 8418), ""},
    {MODEL + VALID + "[\nink=COLOR\n", gs_command(2, 720, 5952, 8418), ""},
    {"[]\n=broken\n" + MODEL + VALID, gs_command(2, 720, 5952, 8418), ""},
    {MODEL + "mediasize=ABCDEFGHIJKLMNOPQRSTUVWXYZ\n" + VALID, gs_command(2, 720, 5952, 8418), ""},
    // Pieces of 253 characters: the blanks are one piece, "ink=MONO" the next.
    {MODEL + std::string(253, ' ') + VALID, gs_command(2, 720, 5952, 8418), ""},
    {MODEL + "ink\v=\fMONO\nresolution=720\nmediasize=A4\n", gs_command(2, 720, 5952, 8418), ""},
    {MODEL + "ink=COLOR\nink=MONO\nresolution=300\nresolution=720\nmediasize=A4\n",
     gs_command(2, 720, 5952, 8418), ""},
    {MODEL + "ink=MONOCHROME\nresolution=720\nmediasize=A4\n", gs_command(1, 720, 5952, 8418), ""},
    {MODEL + "ink=COLOR\ninkjet=MONO\nresolution=720\nresolutions=300\nmediasize=A4\n"
             "mediasizes=A5\npapersources=ROLL\ncomment\n",
     gs_command(1, 720, 5952, 8418), ""},
    {MODEL + "ink=MONO\nresolution=0720\nmediasize=A4\n", gs_command(2, 720, 5952, 8418), ""},
    // Truncated, not rounded: 472.5 and 1023.6 pixels.
    {MODEL + "ink=COLOR\nresolution=100\nmediasize=ENVC3\n", gs_command(1, 100, 472, 1023), ""},
    // No section for this printer: defaults without a message.
    {"", DEFAULT_COMMAND, ""},
    {"[Other Printer]\n" + VALID, DEFAULT_COMMAND, ""},
    {"[Quorvin 7X Series Pro]\n" + VALID + "[quorvin 7X Series]\n" + VALID, DEFAULT_COMMAND, ""},
    {"[]\n" + VALID, DEFAULT_COMMAND, ""},
    // Malformed or unusable: defaults with the message.
    {"#printers\n" + MODEL + VALID, DEFAULT_COMMAND, NOT_READ},
    {"[\n" + MODEL + VALID, DEFAULT_COMMAND, NOT_READ},
    {MODEL + "=MONO\n" + VALID, DEFAULT_COMMAND, NOT_READ},
    {MODEL + VALID + "mediasize=\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + "ink\n" + VALID, DEFAULT_COMMAND, NOT_READ},
    {MODEL + "ink=MONO\nresolution=abc\nmediasize=A4\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + "ink=MONO\nresolution=-720\nmediasize=A4\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + "resolution=720\nmediasize=A4\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + "ink=MONO\nresolution=720\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + "ink=MONO\nresolution=720\nmediasize=a4\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + VALID + "papersource=ROLL\nmediasize=PHOTO\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + VALID + "papersource=auto\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + "ink=MONO\nresolution=255076\nmediasize=PANORAM\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + "ink=MONO\nresolution=99999999999\nmediasize=A6\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + "ink=MONO\nresolution=-99999999999\nmediasize=A6\n", DEFAULT_COMMAND, NOT_READ},
    {"[Quorvin]\nink=MONO\n" + MODEL + "resolution=720\nmediasize=A4\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + VALID + "mediasize=A4XXXXXXXXXXXXXXXX\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + VALID + "papersource=AUTOAUTOAUTOAUTO\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + "ink=MONO\nresolution=72\nmediasize=PANORAMA\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + VALID + "ink=\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + VALID + "resolution=\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + VALID + "papersource=AUTO\npapersource=\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + "ink=MONO\nresolution=4294967368\nmediasize=A4\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + "ink=MONO\nresolution=-4294967224\nmediasize=A4\n", DEFAULT_COMMAND, NOT_READ},
    {MODEL + "ink=MONO\nresolution=700000\nmediasize=ENV10\n", DEFAULT_COMMAND, NOT_READ},
};

TEST(Settings, EachFileGivesItsCommandAndMessage) {
    for (const Settings_Case &row : settings_cases) {
        Filter_Run run = run_filter({"%!PS\n", row.settings});
        SCOPED_TRACE(row.settings);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.gs_command, row.command);
        EXPECT_EQ(run.err, row.message);
        EXPECT_EQ(run.gs_fds, "0 1 2 "); // the settings file is closed on every path
    }
}

// Also a FIFO at the path, which the filter must not wait on: every job would hang.
TEST(Settings, MissingFileIsReportedByPath) {
    for (bool fifo : {false, true}) {
        Filter_Run run = run_filter({.job = "%!PS\n", .settings_fifo = fifo});
        EXPECT_EQ(run.err, "etc/ravorc : No such file\n");
        EXPECT_EQ(run.gs_command, DEFAULT_COMMAND);
    }
}

// The shipped filter reads the machine's own file, which a test only reads about.
TEST(Settings, ShippedFilterReadsEtcRavorc) {
    if (access("/etc/ravorc", F_OK) == 0) GTEST_SKIP() << "/etc/ravorc exists on this machine";
    Filter_Setup setup{"%!PS\n"};
    setup.executable = SHIPPED_FILTER;
    Filter_Run run = run_filter(setup);
    EXPECT_EQ(run.err, "/etc/ravorc : No such file\n");
    EXPECT_EQ(run.gs_command, DEFAULT_COMMAND);
}

// Random and mutated files: never a crash or hang, a kept descriptor, or another message.
// The checker, reading each file with the filter's own reader, agrees with what the filter
// did: the same command, and status 1 exactly when the filter fell back to its defaults.
TEST(Settings, JunkFilesNeverHurtTheFilter) {
    const std::string pieces[] = {"[",
                                  "]",
                                  "=",
                                  "\n",
                                  "\r\n",
                                  "\0"s,
                                  " ",
                                  "ink",
                                  "MONO",
                                  "resolution",
                                  "2147483647",
                                  "-5",
                                  "mediasize",
                                  "A3+",
                                  "papersource",
                                  "T4AUTO",
                                  "Quorvin 7X Series",
                                  "\xff\x80"};
    std::mt19937 random(20261208);
    int runs = getenv("RAVO_JUNK_RUNS") ? atoi(getenv("RAVO_JUNK_RUNS")) : 2000;
    for (int i = 0; i < runs; ++i) {
        std::string settings = random() % 4 != 0 ? MODEL + VALID : "";
        for (int edits = random() % 12; edits > 0; --edits) {
            size_t at = random() % (settings.size() + 1);
            switch (random() % 4) {
            case 0:
                settings.insert(at, pieces[random() % std::size(pieces)]);
                break;
            case 1:
                settings.insert(at, std::string(random() % 600, char(random())));
                break;
            case 2:
                settings.erase(at, random() % 8);
                break;
            default:
                settings.insert(at, 1, char(random()));
                break;
            }
        }
        Filter_Run run = run_filter({"%!PS\n", settings});
        SCOPED_TRACE(testing::PrintToString(settings));
        ASSERT_EQ(run.status, 0);
        ASSERT_TRUE(run.err.empty() || run.err == NOT_READ);
        ASSERT_EQ(run.gs_fds, "0 1 2 ");
        const Check_Run check = run_checker(settings);
        const size_t command = check.out.find("\ncommand: ") + 10;
        ASSERT_EQ(check.out.substr(command, check.out.find('\n', command) - command),
                  run.gs_command);
        // Settings the filter uses but no page can print with make the checker's outcome 1.
        const bool pages_fail = check.err.find("every PostScript job would") != std::string::npos;
        const int expected = run.err == NOT_READ                                ? 1
                             : run.gs_command != DEFAULT_COMMAND && !pages_fail ? 0
                                                                                : -1;
        ASSERT_TRUE(check.status == expected || (expected == -1 && check.status <= 1)) << check.out;
    }
}

} // namespace
