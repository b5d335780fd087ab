// A run replaces the output with the whole image, or leaves the output and every input exactly
// as they were: on a failed write, a full disk, an interruption, and through links.
#include "merge_fixture.hpp"
#include "run_fwsplice.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <thread>
#include <tuple>
#include <utility>

namespace fs = std::filesystem;

namespace {

/// One directory entry as a user would compare it: type, mode, owner, and bytes or link text.
struct entry {
    fs::file_type type;
    unsigned mode;
    uid_t owner;
    gid_t group;
    std::string content;
    bool operator==(const entry& other) const
    {
        return std::tie(type, mode, owner, group, content) ==
               std::tie(other.type, other.mode, other.owner, other.group, other.content);
    }
};

using snapshot = std::map<std::string, entry>;

snapshot take_snapshot(const std::string& directory)
{
    snapshot entries;
    for (const fs::directory_entry& item : fs::directory_iterator(directory)) {
        struct stat info {};
        lstat(item.path().c_str(), &info);
        const fs::file_type type = item.symlink_status().type();
        entries[item.path().filename().string()] = {
            type, info.st_mode & 07777U, info.st_uid, info.st_gid,
            type == fs::file_type::symlink ? fs::read_symlink(item.path()).string()
                                           : read_file(item.path().string())};
    }
    return entries;
}

void PrintTo(const entry& item, std::ostream* out)
{
    *out << "{type " << static_cast<int>(item.type) << ", mode " << std::oct << item.mode
         << std::dec << ", " << item.owner << ":" << item.group << ", " << item.content.size()
         << " bytes}";
}

/// What the output's name holds before a run.
enum class before {
    nothing,
    old_image,        ///< a regular file, mode 0640
    nobodys_image,    ///< a regular file owned by nobody (only when the suite runs as root)
    the_sketch,       ///< the output names the sketch
    sketch_link,      ///< a hard link of the sketch
    symlink,          ///< out -> old
    symlink_chain,    ///< out -> link -> old
    dangling_symlink  ///< out -> missing
};

class output_test : public merge_fixture {
protected:
    /// Lays out boot, sketch and what the output's name holds; returns the output path.
    std::string arrange(before state) const
    {
        write_file("boot", boot_bytes);
        write_file("sketch", sketch_bytes);
        std::string out = path("out");
        switch (state) {
        case before::nothing:
            break;
        case before::old_image:
        case before::nobodys_image:
            write_file("out", old_bytes);
            chmod(out.c_str(), 0640);
            if (state == before::nobodys_image) {
                EXPECT_EQ(chown(out.c_str(), nobody, nobody), 0);
            }
            break;
        case before::the_sketch:
            return path("sketch");
        case before::sketch_link:
            fs::create_hard_link(path("sketch"), out);
            break;
        case before::symlink_chain:
            fs::create_symlink("old", path("link"));
            fs::create_symlink("link", out);
            write_file("old", old_bytes);
            break;
        case before::symlink:
            fs::create_symlink("old", out);
            write_file("old", old_bytes);
            break;
        case before::dangling_symlink:
            fs::create_symlink("missing", out);
            break;
        }
        return out;
    }

    /// The file that the output finally leads to, which alone a run may replace.
    static std::string replaced(before state)
    {
        switch (state) {
        case before::the_sketch:
            return "sketch";
        case before::symlink:
        case before::symlink_chain:
            return "old";
        case before::dangling_symlink:
            return "missing";
        default:
            return "out";
        }
    }

    std::string merged() const
    {
        return opened("bootloader", path("boot"), 3000) +
               opened("sketch", path("sketch"), static_cast<long long>(sketch_bytes.size())) +
               allocated(static_cast<long long>(sketch_bytes.size()));
    }

    std::string boot_bytes = pattern(3000, 21);
    std::string sketch_bytes = pattern(50000, 22);
    std::string old_bytes = pattern(70000, 23);
};

std::vector<before> every_state()
{
    std::vector<before> states{before::nothing,         before::old_image, before::the_sketch,
                               before::sketch_link,     before::symlink,   before::symlink_chain,
                               before::dangling_symlink};
    if (geteuid() == 0) {
        states.push_back(before::nobodys_image);
    }
    return states;
}

TEST_F(output_test, a_run_replaces_only_the_file_the_output_leads_to)
{
    const mode_t mask = umask(0);
    umask(mask);
    for (const bool unnamed : {true, false}) {
        for (const before state : every_state()) {
            SCOPED_TRACE(std::to_string(static_cast<int>(state)) +
                         (unnamed ? ", unnamed" : ", named"));
            fs::remove_all(dir);
            fs::create_directory(dir);
            const std::string out = arrange(state);
            snapshot expected = take_snapshot(dir);
            const std::string target = replaced(state);
            expected.try_emplace(
                target, entry{fs::file_type::regular, 0666U & ~mask, geteuid(), getegid(), ""});
            expected[target].content = expected_image(boot_bytes, sketch_bytes);
            run_options options;
            options.no_unnamed_files = !unnamed;

            const run_result result = run_fwsplice({path("boot"), path("sketch"), out}, options);
            EXPECT_EQ(result.out, merged() + "Wrote combined file to " + out + " \n");
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(take_snapshot(dir), expected);
        }
    }
}

TEST_F(output_test, a_failed_write_leaves_the_output_and_the_inputs_as_they_were)
{
    // SIGXFSZ as a shell leaves it and as a caller that ignores it leaves it; the temporary
    // file with and without a name while it is written.
    for (const auto& [ignored, unnamed] :
         {std::pair{false, true}, std::pair{true, true}, std::pair{false, false}}) {
        for (const before state : every_state()) {
            SCOPED_TRACE(std::to_string(static_cast<int>(state)) +
                         (ignored ? ", SIGXFSZ ignored" : ", SIGXFSZ default") +
                         (unnamed ? ", unnamed" : ", named"));
            fs::remove_all(dir);
            fs::create_directory(dir);
            const std::string out = arrange(state);
            const snapshot expected = take_snapshot(dir);

            run_options over_the_limit;
            over_the_limit.file_size = 4096;
            over_the_limit.ignore_sigxfsz = ignored;
            over_the_limit.no_unnamed_files = !unnamed;
            const run_result result =
                run_fwsplice({path("boot"), path("sketch"), out}, over_the_limit);
            EXPECT_EQ(result.out, merged() + "Unable to write output file " + out + "\n");
            EXPECT_EQ(result.status, 254);
            EXPECT_EQ(take_snapshot(dir), expected);
        }
    }
}

/// A mount taken down again at the end of the test; mounting needs root.
class scoped_mount {
public:
    scoped_mount(const char* source, const std::string& target, const char* type,
                 unsigned long flags, const char* options)
        : target_(target), mounted_(mount(source, target.c_str(), type, flags, options) == 0)
    {
    }
    scoped_mount(const scoped_mount&) = delete;
    scoped_mount& operator=(const scoped_mount&) = delete;
    ~scoped_mount()
    {
        if (mounted_) {
            umount(target_.c_str());
        }
    }
    bool mounted() const { return mounted_; }

private:
    std::string target_;
    bool mounted_;
};

std::ptrdiff_t entries_in(const std::string& directory)
{
    return std::distance(fs::directory_iterator(directory), fs::directory_iterator());
}

TEST_F(output_test, a_full_disk_keeps_the_old_image)
{
    fs::create_directory(path("disk"));
    const scoped_mount disk{"tmpfs", path("disk"), "tmpfs", 0, "size=256k"};
    if (!disk.mounted()) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    sketch_bytes = pattern(300000, 24);
    arrange(before::nothing);
    const std::string out = path("disk/out");
    for (const bool old : {false, true}) {
        SCOPED_TRACE(old ? "old image" : "new output");
        if (old) {
            write_file("disk/out", pattern(100000, 25));
        }
        const snapshot expected = take_snapshot(path("disk"));

        const run_result result = run_fwsplice({path("boot"), path("sketch"), out});
        EXPECT_EQ(result.out, merged() + "Unable to write output file " + out + "\n");
        EXPECT_EQ(result.status, 254);
        EXPECT_EQ(take_snapshot(path("disk")), expected);
    }
}

TEST_F(output_test, an_interrupted_run_keeps_the_old_image)
{
    old_bytes = pattern(70000, 26);
    for (const bool unnamed : {true, false}) {
        for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
            SCOPED_TRACE(std::to_string(signal_number) + (unnamed ? ", unnamed" : ", named"));
            fs::remove_all(dir);
            fs::create_directory(dir);
            write_file("boot", boot_bytes);
            sparse_file("sketch", off_t{1} << 30);
            const std::string out = write_file("out", old_bytes);
            run_options options;
            options.no_unnamed_files = !unnamed;

            running_fwsplice run{{path("boot"), path("sketch"), out}, options};
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!run.writing_in(dir) && std::chrono::steady_clock::now() < give_up) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            kill(run.pid(), signal_number);
            const run_result result = run.wait();

            EXPECT_EQ(result.status, 128 + signal_number);
            EXPECT_EQ(read_file(out), old_bytes);
            // Only SIGKILL, which no process can catch, may leave a temporary file behind, and
            // only one that had a name while it was written.
            EXPECT_EQ(entries_in(dir), signal_number == SIGKILL && !unnamed ? 4 : 3);
        }
    }
}

TEST_F(output_test, devices_and_pipes_are_written_in_place)
{
    const std::string both = merged();
    arrange(before::nothing);
    const std::string null = device("null");
    const std::string full = device("full");
    // The caller's own descriptor of a regular file: the file it is open on must get the image.
    const std::string held = write_file("held", old_bytes);
    struct stat held_before {};
    stat(held.c_str(), &held_before);
    run_options holding{};
    holding.descriptor_3 = held;
    const run_options reader_gone{RLIM_INFINITY, RLIM_INFINITY, false, 3, false};
    const struct {
        std::string out;
        run_options options;
        std::string message;
        int status;
    } cases[] = {
        {null, {}, "Wrote combined file to " + null + " \n", 0},
        {full, {}, "Unable to write output file " + full + "\n", 254},
        {"/dev/fd/3", reader_gone, "Unable to write output file /dev/fd/3\n", 254},
        {"/dev/fd/3", holding, "Wrote combined file to /dev/fd/3 \n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        const run_result result = run_fwsplice({path("boot"), path("sketch"), c.out}, c.options);
        EXPECT_EQ(result.out, both + c.message);
        EXPECT_EQ(result.status, c.status);
    }
    EXPECT_TRUE(fs::is_character_file(null));
    EXPECT_TRUE(fs::is_character_file(full));
    struct stat held_after {};
    stat(held.c_str(), &held_after);
    EXPECT_EQ(held_after.st_ino, held_before.st_ino);
    EXPECT_EQ(read_file(held), expected_image(boot_bytes, sketch_bytes));
}

TEST_F(output_test, a_read_only_directory_is_written_in_place)
{
    arrange(before::nothing);
    fs::create_directory(path("locked"));
    write_file("locked/out", old_bytes);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(path("boot"), fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(path("sketch"), fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(path("locked/out"), fs::perms::all);
    fs::permissions(path("locked"), fs::perms::owner_read | fs::perms::owner_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
    run_options as_a_user;
    as_a_user.unprivileged = true;
    const struct {
        std::string out;
        std::string message;
        int status;
        std::string image;
    } cases[] = {
        {path("locked/out"), "Wrote combined file to " + path("locked/out") + " \n", 0,
         expected_image(boot_bytes, sketch_bytes)},
        {path("locked/new"), "Unable to open output file " + path("locked/new") + " for writing \n",
         254, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        const run_result result = run_fwsplice({path("boot"), path("sketch"), c.out}, as_a_user);
        EXPECT_EQ(result.out, merged() + c.message);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(read_file(c.out), c.image);
    }
    EXPECT_EQ(entries_in(path("locked")), 1);
    fs::permissions(path("locked"), fs::perms::owner_all);
}

TEST_F(output_test, a_bind_mounted_output_is_written_in_place)
{
    const std::string out = arrange(before::old_image);
    const std::string source = write_file("source", old_bytes);
    const scoped_mount bound{source.c_str(), out, nullptr, MS_BIND, nullptr};
    if (!bound.mounted()) {
        GTEST_SKIP() << "a bind mount, which a rename cannot replace, needs root";
    }
    const run_result result = run_fwsplice({path("boot"), path("sketch"), out});
    EXPECT_EQ(result.out, merged() + "Wrote combined file to " + out + " \n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(source), expected_image(boot_bytes, sketch_bytes));
}

TEST_F(output_test, a_reader_of_standard_output_that_went_away_does_not_change_the_status)
{
    const std::string out = arrange(before::nothing);
    run_options stdout_gone;
    stdout_gone.broken_pipe = 1;
    const run_result result = run_fwsplice({path("boot"), path("sketch"), out}, stdout_gone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(out), expected_image(boot_bytes, sketch_bytes));
}

}  // namespace
