// The run's private temporary folder, the removal of folders that killed runs left, and files
// created beside a target without following links.

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <fstream>

#include "app/export_commands.h"
#include "files/temp_folder.h"
#include "wav_builder.h"

namespace loudara {
namespace {

// The pid of a process that has ended (and been reaped).
pid_t deadPid() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

class TemporaryFiles : public TempFolder {};

TEST_F(TemporaryFiles, EachRunHasAPrivateFolderRemovedAtExit) {
    RemovePrivateTemporaryFolder();
    const std::string first = PrivateTemporaryFolder();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(fs::path(first).parent_path(), fs::temp_directory_path());
    const std::string name = fs::path(first).filename().string();
    const std::string prefix = "loudara-" + std::to_string(getpid()) + "-";
    EXPECT_EQ(name.compare(0, prefix.size(), prefix), 0) << name;
    EXPECT_EQ(name.size(), prefix.size() + 6);
    struct stat st {};
    ASSERT_EQ(lstat(first.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "no other user may look in or plant names";
    EXPECT_EQ(PrivateTemporaryFolder(), first) << "one folder per run";
    EXPECT_EQ(ExportTemporaryFolder(), first) << "the export job's temporary names live in it";

    // A later start does not take a live run's folder for a stale one.
    RemoveStaleTemporaryFolders(fs::temp_directory_path().string());
    EXPECT_TRUE(fs::exists(first)) << "ours is alive";

    write("x", ByteVector{1, 2, 3});
    fs::copy_file(folder / "x", fs::path(first) / "$$temp_ldr_12345678.wav");
    RemovePrivateTemporaryFolder();
    EXPECT_FALSE(fs::exists(first)) << "removed with its contents";
    const std::string second = PrivateTemporaryFolder();
    EXPECT_NE(second, first);
    EXPECT_TRUE(fs::is_directory(second));
}

TEST_F(TemporaryFiles, FoldersOfEndedRunsAreRemovedAndNothingElse) {
    const pid_t dead = deadPid();
    const std::string deadName = "loudara-" + std::to_string(dead) + "-";
    auto folderWithFile = [&](const std::string& name) {
        fs::create_directory(folder / name);
        std::ofstream(folder / name / "$$temp_ldr_dst_1.wav") << "sound";
        return folder / name;
    };
    const fs::path stale = folderWithFile(deadName + "a1b2c3");
    const fs::path alive = folderWithFile("loudara-" + std::to_string(getpid()) + "-a1b2c3");
    // A run in another pid namespace: its pid means nothing here, but it holds its folder's lock.
    const fs::path locked = folderWithFile(deadName + "lock01");
    const int lockFd = open(locked.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(lockFd, LOCK_EX), 0);
    // A link named like a stale folder leads elsewhere: neither it nor what it points at is touched.
    const fs::path elsewhere = folderWithFile("elsewhere");
    fs::create_directory_symlink(elsewhere, folder / (deadName + "link01"));
    const fs::path other = folderWithFile("loudara-notes");

    EXPECT_EQ(RemoveStaleTemporaryFolders(folder.string()), 1);
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(alive / "$$temp_ldr_dst_1.wav"));
    EXPECT_TRUE(fs::exists(locked / "$$temp_ldr_dst_1.wav"));
    EXPECT_TRUE(fs::is_symlink(folder / (deadName + "link01")));
    EXPECT_TRUE(fs::exists(elsewhere / "$$temp_ldr_dst_1.wav"));
    EXPECT_TRUE(fs::exists(other / "$$temp_ldr_dst_1.wav"));

    close(lockFd);  // the run ends: its folder goes at the next start
    EXPECT_EQ(RemoveStaleTemporaryFolders(folder.string()), 1);
    EXPECT_FALSE(fs::exists(locked));
}

TEST_F(TemporaryFiles, FilesBesideTheTargetNeverFollowALink) {
    const std::string victim = write("victim", ByteVector{'k', 'e', 'e', 'p'});
    const fs::path planted = folder / "song.wav.part-1";
    fs::create_symlink(victim, planted);
    errno = 0;
    EXPECT_LT(CreateFileExclusively(planted.string()), 0);
    EXPECT_EQ(errno, EEXIST);
    fs::create_symlink(folder / "nowhere", folder / "dangling");
    EXPECT_LT(CreateFileExclusively((folder / "dangling").string()), 0) << "not even a dangling link";
    EXPECT_FALSE(fs::exists(folder / "nowhere"));
    EXPECT_EQ(read(victim), (ByteVector{'k', 'e', 'e', 'p'}));

    // A copy replaces the target whole, and leaves no part file.
    const std::string source = write("source", ByteVector(3 << 20, 7));
    const std::string target = write("target.wav", ByteVector{1, 2});
    std::string error;
    ASSERT_TRUE(ReplaceFileWithCopy(source, target, error)) << error;
    EXPECT_EQ(read(target), read(source));
    std::atomic<bool> cancel{true};
    EXPECT_FALSE(ReplaceFileWithCopy(victim, target, error, &cancel));
    EXPECT_EQ(error, "cancelled");
    EXPECT_EQ(read(target), read(source)) << "a cancelled copy keeps the target";
    EXPECT_FALSE(CopyToNewFile(source, victim, error)) << "an existing file is not overwritten";
    EXPECT_EQ(read(victim), (ByteVector{'k', 'e', 'e', 'p'}));
    int files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) files += entry.path().string().find(".part-") != std::string::npos;
    EXPECT_EQ(files, 1) << "only the planted link";
}

TEST_F(TemporaryFiles, AFinishedFileMovesOverTheTargetOrIsCopiedFromAnotherFileSystem) {
    const ByteVector bytes{'R', 'I', 'F', 'F', 1, 2, 3};
    // One file system: the file itself moves, replacing the target; a link of the user's own under
    // its name is followed (links of other users: planted_files_test).
    const std::string kept = write("kept.wav", ByteVector{'k', 'e', 'e', 'p'});
    const std::string target = (folder / "out.wav").string();
    fs::create_symlink(kept, target);
    std::string error;
    const std::string source = write("processed.wav", bytes);
    ASSERT_TRUE(MoveFileOver(source, target, error)) << error;
    EXPECT_TRUE(fs::is_symlink(target));
    EXPECT_EQ(read(kept), bytes);
    EXPECT_FALSE(fs::exists(source));
    // Cancelled: nothing moves.
    const std::string second = write("second.wav", ByteVector{'x'});
    std::atomic<bool> cancel{true};
    EXPECT_FALSE(MoveFileOver(second, target, error, &cancel));
    EXPECT_EQ(error, "cancelled");
    EXPECT_EQ(read(target), bytes);
    // Into a folder that gives its files its group.
    if (::geteuid() == 0) {
        const fs::path shared = folder / "shared";
        fs::create_directories(shared);
        ASSERT_EQ(::chown(shared.c_str(), static_cast<uid_t>(-1), 65534), 0);
        ASSERT_EQ(::chmod(shared.c_str(), 02775), 0);
        ASSERT_TRUE(MoveFileOver(second, (shared / "song.wav").string(), error)) << error;
        struct stat st {};
        ASSERT_EQ(::stat((shared / "song.wav").c_str(), &st), 0);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    // Another file system (when /dev/shm is one): copied, and the source stays for its owner.
    struct stat here {}, shm {};
    if (::stat(folder.c_str(), &here) == 0 && ::stat("/dev/shm", &shm) == 0 && here.st_dev != shm.st_dev &&
        ::access("/dev/shm", W_OK) == 0) {
        const std::string across = "/dev/shm/loudara_move_" + std::to_string(::getpid()) + ".wav";
        const std::string third = write("third.wav", bytes);
        ASSERT_TRUE(MoveFileOver(third, across, error)) << error;
        EXPECT_EQ(read(across), bytes);
        EXPECT_TRUE(fs::exists(third));
        fs::remove(across);
    }
}

TEST(WriteFailures, AFullDiskNamesTheFolderThatIsFull) {
    EXPECT_EQ(WriteFailureText("/srv/out/song.wav", ENOSPC), "cannot write /srv/out/song.wav: no space left on /srv/out");
    EXPECT_EQ(WriteFailureText("/tmp/loudara-1-abcdef/$$temp_ldr_1.wav", ENOSPC),
              "cannot write /tmp/loudara-1-abcdef/$$temp_ldr_1.wav: no space left on /tmp/loudara-1-abcdef");
    EXPECT_EQ(WriteFailureText("/srv/out/song.wav", EIO), "cannot write /srv/out/song.wav: Input/output error");
    const std::string relative = WriteFailureText("song.wav", ENOSPC);
    EXPECT_EQ(relative, "cannot write song.wav: no space left on " + fs::current_path().string());
}

}  // namespace
}  // namespace loudara
