// The filter with the real Ghostscript: what reaches the printer must be clean PNG data.
#include "filter_run.h"

#include "../filter/rasterizer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

struct Png_Image {
    unsigned width, height, bit_depth, colour_type; // from the IHDR chunk
    unsigned channels;                              // 1 grey, 3 RGB
    std::vector<unsigned char> pixels;              // decoded by libpng, unconverted
    bool pngcheck_ok;
};

unsigned big_endian(const std::string &bytes, size_t at) {
    return unsigned((unsigned char)bytes[at]) << 24 | unsigned((unsigned char)bytes[at + 1]) << 16 |
           unsigned((unsigned char)bytes[at + 2]) << 8 | (unsigned char)bytes[at + 3];
}

// Splits a stream of PNG files, as Ghostscript writes them one per page, and decodes each.
// Anything that is not PNG data, anywhere in the stream, fails the test.
std::vector<Png_Image> read_png_stream(const std::string &stream) {
    std::vector<Png_Image> images;
    const std::string signature = "\x89PNG\r\n\x1a\n";
    for (size_t start = 0; start < stream.size();) {
        EXPECT_EQ(stream.compare(start, 8, signature), 0) << "no PNG at byte " << start;
        size_t at = start + 8;
        for (bool end = false; !end && at + 12 <= stream.size();) {
            end = stream.compare(at + 4, 4, "IEND") == 0;
            at += 12 + big_endian(stream, at);
        }
        const std::string file = stream.substr(start, at - start);
        if (stream.compare(start, 8, signature) != 0 || file.size() < 33) return images;
        const unsigned colour_type = (unsigned char)file[25];
        Png_Image image{big_endian(file, 16),
                        big_endian(file, 20),
                        (unsigned char)file[24],
                        colour_type,
                        colour_type == PNG_COLOR_TYPE_GRAY ? 1u : 3u,
                        {},
                        false};
        png_image decoded{};
        decoded.version = PNG_IMAGE_VERSION;
        if (png_image_begin_read_from_memory(&decoded, file.data(), file.size())) {
            decoded.format = image.channels == 1 ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
            image.pixels.resize(PNG_IMAGE_SIZE(decoded));
            png_image_finish_read(&decoded, nullptr, image.pixels.data(), 0, nullptr);
        }
        EXPECT_EQ(image.pixels.size(), size_t(image.width) * image.height * image.channels);
        char path[] = "/tmp/ravofilter-png-XXXXXX";
        FILE *out = fdopen(mkstemp(path), "wb");
        fwrite(file.data(), 1, file.size(), out);
        fclose(out);
        image.pngcheck_ok = system(("pngcheck -q " + std::string(path)).c_str()) == 0;
        remove(path);
        images.push_back(std::move(image));
        start = at;
    }
    return images;
}

// Paints the left half of each page red and leaves the right half white.
const std::string PAGE = "clippath pathbbox /top exch def /right exch def pop pop\n"
                         "1 0 0 setrgbcolor 0 0 right 2 div top rectfill showpage\n";
const std::string SECTION = "[Quorvin 7X Series]\n";

struct Real_Case {
    std::string job;
    std::optional<std::string> settings;
    unsigned pages, width, height;
    bool grey;
};

const Real_Case real_cases[] = {
    {"%!PS\n" + PAGE, SECTION + "ink=COLOR\nresolution=72\nmediasize=A4\n", 1, 595, 841, false},
    {"%!PS\n" + PAGE + PAGE, SECTION + "ink=MONO\nresolution=72\nmediasize=A4\n", 2, 595, 841,
     true},
    {"\x04%!PS\n" + PAGE, SECTION + "ink=COLOR\nresolution=72\npapersource=ROLL\nmediasize=A6\n", 1,
     297, 419, false},
    {"%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 100 100\n" + PAGE, std::nullopt, 1, 2976, 4209,
     false},
    {"%!PS\n(hello) print (world) ==\n" + PAGE,
     SECTION + "ink=COLOR\nresolution=72\nmediasize=A4\n", 1, 595, 841, false},
};

TEST(RealGhostscript, PostScriptBecomesOnePngPerPage) {
    for (const Real_Case &row : real_cases) {
        SCOPED_TRACE(row.job.substr(0, 24));
        Filter_Run run = run_filter({.job = row.job, .settings = row.settings, .gs = "real"});
        EXPECT_EQ(run.status, 0) << run.err;
        const std::vector<Png_Image> images = read_png_stream(run.out);
        ASSERT_EQ(images.size(), row.pages);
        for (const Png_Image &image : images) {
            EXPECT_TRUE(image.pngcheck_ok);
            EXPECT_EQ(image.width, row.width);
            EXPECT_EQ(image.height, row.height);
            EXPECT_EQ(image.bit_depth, 8u);
            EXPECT_EQ(image.colour_type, row.grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB);
            if (image.pixels.size() != size_t(image.width) * image.height * image.channels)
                continue; // undecodable: already reported while reading the stream
            // Red comes out mid grey (130 with colour management). The middle row: a quarter
            // across is painted, three quarters across is white.
            const std::vector<int> red = row.grey ? std::vector{128} : std::vector{255, 0, 0};
            const int tolerance = row.grey ? 60 : 1;
            const size_t middle = size_t(image.height / 2) * image.width, quarter = image.width / 4;
            for (unsigned channel = 0; channel < image.channels; ++channel) {
                EXPECT_NEAR(image.pixels[(middle + quarter) * image.channels + channel],
                            red[channel], tolerance);
                EXPECT_EQ(image.pixels[(middle + 3 * quarter) * image.channels + channel], 255);
            }
        }
        // What the job prints goes to standard error, never into the PNG data.
        EXPECT_EQ(run.err.find("hello") == std::string::npos,
                  row.job.find("(hello)") == std::string::npos);
    }
}

TEST(RealGhostscript, OtherJobsPassAndBrokenPostScriptFails) {
    const std::string text = "Plain text, not %!PS\n";
    Filter_Run copied = run_filter({.job = text, .gs = "real"});
    EXPECT_EQ(copied.status, 0);
    EXPECT_EQ(copied.out, text);
    Filter_Run broken = run_filter({.job = "%!PS\nnot-an-operator\n" + PAGE, .gs = "real"});
    EXPECT_EQ(broken.status, 2);
    EXPECT_NE(broken.err.find("undefined"), std::string::npos);
}

std::string read_file(const std::string &path) {
    std::ostringstream contents;
    contents << std::ifstream(path, std::ios::binary).rdbuf();
    return contents.str();
}

// Real jobs from Debian's producers, made at test time: the filter's output must be the
// bytes that the same gs command gives run bare, so confinement changes nothing for them.
TEST(RealGhostscript, HonestJobsPrintAsUnderBareGhostscript) {
    const std::string work = std::filesystem::temp_directory_path() / "ravofilter-corpus";
    std::filesystem::create_directories(work);
    const std::string make_corpus =
        "cd " + work +
        " && groff -man -Tps " SOURCE_DIR "/docs/ravofilter.8 >groff.ps && "
        "enscript -q -p enscript.ps " SOURCE_DIR "/README.md && ps2pdf groff.ps groff.pdf && "
        "pdftops groff.pdf pdftops.ps && pdftops -eps -f 2 -l 2 groff.pdf page.eps";
    ASSERT_EQ(system(make_corpus.c_str()), 0)
        << "groff, enscript, ps2pdf and pdftops make the corpus";
    for (const char *job : {"groff.ps", "enscript.ps", "pdftops.ps", "page.eps"}) {
        for (const auto &[ink, grey] : {std::pair{"COLOR", false}, std::pair{"MONO", true}}) {
            SCOPED_TRACE(std::string(job) + " " + ink);
            const std::string ps = read_file(work + "/" + job);
            Filter_Run run = run_filter(
                {.job = ps,
                 .settings = "[Q]\nresolution=72\nmediasize=A4\nink=" + std::string(ink) + "\n",
                 .gs = "real"});
            const std::string bare = work + "/bare.png";
            const std::string bare_gs = gs_command(grey ? 2 : 1, 72, 595, 841) + " <" + work + "/" +
                                        job + " >" + bare + " 2>/dev/null";
            EXPECT_EQ(system(bare_gs.c_str()), 0);
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_FALSE(run.out.empty());
            EXPECT_TRUE(run.out == read_file(bare)) << "output differs from bare gs";
        }
    }
    std::filesystem::remove_all(work);
}

// Hostile jobs go after two canaries: a file in /tmp, and one in the spooler's shared
// temporary directory that TMPDIR names. Each row fails with status 2, or harms nothing.
const std::string CANARY_TEXT = "canary-secret-4711";
const char *const CANARIES[] = {"/tmp/canary", "/tmp/spool/canary"};

// What else goes on around a hostile job.
enum class Around { NOTHING, HONEST_JOB_BESIDE, HOST_TMP_FULL, HOST_TMP_OUT_OF_FILES };

struct Hostile_Case {
    const char *what;
    std::string job;
    bool fails;
    int terminate_with = 0;
    Around around = Around::NOTHING;
};

// Six lines that write a file in the job's temporary space until it is full, then hold it.
const std::string DISK_FILLER = "/buf 65536 string def\n"
                                "null (w) .tempfile /f exch def pop\n"
                                "{ { f buf writestring } loop } stopped pop\n"
                                "{} loop";
// A job that needs temporary band files: colour at 360 dpi.
const std::string BANDED_SETTINGS = "[Q]\nink=COLOR\nresolution=360\nmediasize=A4\n";
const std::string HONEST_JOB = "%!PS\n/Helvetica findfont 40 scalefont setfont\n"
                               "72 700 moveto (An honest page) show 100 100 400 400 rectfill "
                               "showpage\n";

const Hostile_Case hostile_cases[] = {
    {"read", "(/tmp/canary) (r) file 100 string readstring pop print", true},
    {"read TMPDIR", "(/tmp/spool/canary) (r) file 100 string readstring pop print", true},
    {"list",
     "(/tmp/*) { print } 256 string filenameforall "
     "(/tmp/spool/*) { print } 256 string filenameforall",
     false},
    {"write", "(/tmp/new) (w) file (x) writestring", true},
    {"write TMPDIR", "(/tmp/spool/new) (w) file (x) writestring", true},
    {"rename", "(/tmp/spool/canary) (/tmp/spool/moved) renamefile", true},
    {"delete", "(/tmp/canary) deletefile", true},
    {"delete TMPDIR", "(/tmp/spool/canary) deletefile", true},
    {"pages to a file", "<< /OutputFile (/tmp/pages.png) >> setpagedevice showpage", true},
    {"pages to its own temporary file",
     "null (w) .tempfile closefile << /OutputFile 3 -1 roll >> setpagedevice showpage", true},
    {"pages to /dev/null", "<< /OutputFile (/dev/null) >> setpagedevice showpage", true},
    {"pipe", "(%pipe%id >/tmp/piped) (w) file", true},
    {"pages to a pipe", "<< /OutputFile (%pipe%cat >/tmp/piped) >> setpagedevice showpage", true},
    {"safety parameters",
     "<< /PermitFileReading [(/tmp/*)] /PermitFileWriting [(/tmp/*)] >> setuserparams "
     "(/tmp/canary) (r) file 100 string readstring pop print",
     true},
    {"memory bomb", "[ { 1000000 array } loop ]", true},
    {"endless loop", "{} loop", true},
    {"endless pages", "{ showpage } loop", true},
    {"filter terminated", "{} loop", true, SIGTERM},
    {"filter killed outright", "{} loop", true, SIGKILL},
    {"log flood", "/buf 4096 string def { buf print } loop", true},
    {"disk filler", DISK_FILLER, true},
    {"disk filler beside an honest job", DISK_FILLER, true, 0, Around::HONEST_JOB_BESIDE},
    {"honest job with the host's /tmp full", "showpage", false, 0, Around::HOST_TMP_FULL},
    {"honest job with the host's /tmp out of files", "showpage", false, 0,
     Around::HOST_TMP_OUT_OF_FILES},
};

// Fills the test's own /tmp to the last byte or the last file; the filler is removed after.
void fill_host_tmp(Around around) {
    if (around == Around::HOST_TMP_FULL) {
        const int filler = open("/tmp/filler", O_WRONLY | O_CREAT, 0600);
        for (off_t chunk = 64 << 20; chunk >= 4096; chunk /= 2)
            while (fallocate(filler, 0, lseek(filler, 0, SEEK_END), chunk) == 0)
                lseek(filler, 0, SEEK_END);
        close(filler);
    }
    if (around == Around::HOST_TMP_OUT_OF_FILES) {
        mkdir("/tmp/fillers", 0700);
        for (int file = 0; close(open(("/tmp/fillers/" + std::to_string(file)).c_str(),
                                      O_WRONLY | O_CREAT, 0600)) == 0;)
            ++file;
    }
}

std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A /tmp of the test's own, in a private mount namespace, with the two canaries and a copy
// of the filter under test, whose build tree the new /tmp may hide. Returns the copy's path.
std::string enter_private_tmp() {
    const std::string filter = read_file(FILTER_UNDER_TEST), copy = "/tmp/ravofilter-under-test";
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777,size=256m,nr_inodes=16384") != 0)
        return "";
    std::ofstream(copy, std::ios::binary) << filter;
    chmod(copy.c_str(), 0755);
    std::filesystem::create_directory("/tmp/spool");
    chmod("/tmp/spool", 0777); // without confinement, anyone could delete in it
    for (const char *canary : CANARIES)
        std::ofstream(canary) << CANARY_TEXT;
    return copy;
}

void run_hostile_jobs(bool unprivileged, const std::string &tmpdir) {
    const std::string filter = enter_private_tmp();
    if (filter.empty()) GTEST_SKIP() << "needs root and a private mount namespace";
    // Output files are refused by the seccomp filter, /dev/null also by Landlock.
    if (!probe_confinement().seccomp) GTEST_SKIP() << "no seccomp filter on this machine";
    const bool namespaces = probe_confinement().namespaces;
    const std::string bare_honest = "/tmp/bare-honest.png"; // this test's own /tmp
    ASSERT_EQ(system(("printf '%s' '" + HONEST_JOB + "' | " + gs_command(1, 360, 2976, 4209) +
                      " >" + bare_honest + " 2>/dev/null")
                         .c_str()),
              0);
    const auto tmp_names = names_in("/tmp"), spool_names = names_in("/tmp/spool");
    for (const Hostile_Case &row : hostile_cases) {
        SCOPED_TRACE(row.what);
        // Only the namespaces' own /tmp keeps one job's disk from another's, and from the host's.
        if (row.around != Around::NOTHING && !namespaces) continue;
        const bool beside = row.around == Around::HONEST_JOB_BESIDE;
        fill_host_tmp(row.around);
        Filter_Run run = run_filter(
            {.job = "%!PS\n" + row.job + "\n",
             .settings = beside ? BANDED_SETTINGS : "[Q]\nink=MONO\nresolution=72\nmediasize=A4\n",
             .gs = "real",
             .executable = filter,
             .tmpdir = tmpdir,
             .unprivileged = unprivileged,
             .terminate_with = row.terminate_with,
             .companion_job = beside ? HONEST_JOB : "",
             .run_parent = row.around == Around::NOTHING || beside ? "/tmp" : "/var/tmp"});
        std::filesystem::remove_all("/tmp/filler");
        std::filesystem::remove_all("/tmp/fillers");
        const int status = row.terminate_with == SIGKILL ? 128 + SIGKILL : row.fails ? 2 : 0;
        EXPECT_EQ(run.status, status) << run.err.substr(0, 400);
        EXPECT_LE(run.err.size(), filter_config.limits.message_bytes + 200) // the flood is cut
            << run.err.substr(filter_config.limits.message_bytes - 100);
        if (beside) {
            EXPECT_EQ(run.companion_status, 0);
            EXPECT_TRUE(run.companion_out == read_file(bare_honest))
                << "the honest job suffered: " << run.companion_out.size() << " bytes against "
                << read_file(bare_honest).size();
        }
        if (row.around == Around::HOST_TMP_FULL || row.around == Around::HOST_TMP_OUT_OF_FILES) {
            EXPECT_EQ(run.out.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0); // a page, whole
        }
        for (const char *canary : CANARIES) {
            EXPECT_EQ(read_file(canary), CANARY_TEXT) << canary;
            EXPECT_EQ((run.out + run.err).find(CANARY_TEXT), std::string::npos);
            if (row.job.find(canary) == std::string::npos) { // not listed either
                EXPECT_EQ(run.err.find(canary), std::string::npos) << canary;
            }
        }
        EXPECT_EQ(names_in("/tmp"), tmp_names);
        EXPECT_EQ(names_in("/tmp/spool"), spool_names);
        EXPECT_FALSE(run.processes_left);
        EXPECT_FALSE(run.private_dirs_left);
    }
}

TEST(HostileJobs, AsRootWithoutTmpdir) {
    run_hostile_jobs(false, "unset");
}
TEST(HostileJobs, AsRootWithTmpdir) {
    run_hostile_jobs(false, "/tmp/spool");
}
TEST(HostileJobs, AsNobodyWithoutTmpdir) {
    run_hostile_jobs(true, "unset");
}
TEST(HostileJobs, AsNobodyWithTmpdir) {
    run_hostile_jobs(true, "/tmp/spool");
}

} // namespace
