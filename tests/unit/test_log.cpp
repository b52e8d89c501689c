// Trace files are private and never opened through a link.

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>

#include "log.h"
#include "unit_support.h"

namespace {

namespace fs = std::filesystem;

struct Dir {
    Dir() : path((fs::temp_directory_path() / "quillet-unit-XXXXXX").string())
    {
        if (mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp");
    }
    ~Dir() { fs::remove_all(path); }
    std::string path;
};

unsigned mode_of(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 01000;
}

}  // namespace

TEST(TraceFile, PrivateAndNeverThroughALink)
{
    Dir dir;
    const std::string fresh = dir.path + "/fresh", old = dir.path + "/old",
                      link = dir.path + "/link", target = dir.path + "/target",
                      fifo = dir.path + "/fifo", hard = dir.path + "/hard";
    const mode_t mask = umask(0);  // the mode must not depend on the caller's umask
    FILE *fp = qx_open_trace_file(fresh.c_str());
    ASSERT_NE(fp, nullptr);
    std::fclose(fp);
    EXPECT_EQ(mode_of(fresh), 0600u);
    // A file an older version left readable to others is narrowed.
    close(open(old.c_str(), O_CREAT | O_WRONLY, 0644));
    fp = qx_open_trace_file(old.c_str());
    ASSERT_NE(fp, nullptr);
    std::fclose(fp);
    EXPECT_EQ(mode_of(old), 0600u);
    umask(mask);

    // Neither a planted link, a FIFO nor a file with a second name.
    fs::create_symlink(target, link);
    EXPECT_EQ(qx_open_trace_file(link.c_str()), nullptr);
    EXPECT_FALSE(fs::exists(target));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(qx_open_trace_file(fifo.c_str()), nullptr);
    fs::create_hard_link(old, hard);
    EXPECT_EQ(qx_open_trace_file(hard.c_str()), nullptr);
}
