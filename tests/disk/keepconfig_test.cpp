#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "disk/finish.h"
#include "disk/keepconfig.h"
#include "sandbox/sandbox.h"

namespace {

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/keepconfig.XXXXXX";
        path_ = mkdtemp(name) ? name : "";
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf " + path_).c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string pattern(size_t size, int seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; i++) s[i] = char((i * 31 + size_t(seed)) % 251);
    return s;
}

int countChunks(const TreeChunk* chunk) {
    int n = 0;
    for (; chunk; chunk = chunk->next) n++;
    return n;
}

TEST(KeepConfig, FileOfOneChunkSpillsIntoTheNextAndComesBack) {
    TempDir dir;
    std::string file = dir.path() + "/exact";
    std::string content = pattern(16000, 1);
    ASSERT_TRUE(sandbox::writeFile(file, content, 0640));

    SavedTree tree;
    ASSERT_TRUE(tree.start());
    ASSERT_TRUE(saveTree(tree.last, file.c_str()));
    tree.complete();
    ASSERT_EQ(countChunks(tree.first), 2);
    int32_t head = int32_t(file.size() + 1 + sizeof(SavedStatus));
    EXPECT_EQ(tree.first->end, 16000);
    EXPECT_EQ(tree.first->next->end, head);
    EXPECT_EQ(tree.first->cursor, 0);
    EXPECT_EQ(tree.first->magic, kTreeChunkMagic);

    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_TRUE(restoreTree(tree.first));
    EXPECT_EQ(sandbox::readFile(file), content);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(KeepConfig, PathThatDoesNotFitGetsAChunkOfItsOwn) {
    TempDir dir;
    std::string first = dir.path() + "/a";
    std::string second = dir.path() + "/a-path-longer-than-the-three-bytes-left";
    size_t firstSize = 16000 - (first.size() + 1 + sizeof(SavedStatus)) - 3;
    ASSERT_TRUE(sandbox::writeFile(first, pattern(firstSize, 2)));
    ASSERT_TRUE(sandbox::writeFile(second, "second"));

    SavedTree tree;
    ASSERT_TRUE(tree.start());
    ASSERT_TRUE(saveTree(tree.last, first.c_str()));
    ASSERT_TRUE(saveTree(tree.last, second.c_str()));
    tree.complete();
    ASSERT_EQ(countChunks(tree.first), 3);
    EXPECT_EQ(tree.first->end, 16000 - 3);
    const TreeChunk* own = tree.first->next;
    EXPECT_EQ(own->end, int32_t(second.size() + 1));
    EXPECT_STREQ(reinterpret_cast<const char*>(own->data), second.c_str());

    unlink(first.c_str());
    unlink(second.c_str());
    ASSERT_TRUE(restoreTree(tree.first));
    EXPECT_EQ(sandbox::readFile(first), pattern(firstSize, 2));
    EXPECT_EQ(sandbox::readFile(second), "second");
}

TEST(KeepConfig, TreeWithLinksComesBackAsFilesAndLoopsAreLeftOut) {
    TempDir dir;
    std::string store = dir.path() + "/store";
    ASSERT_EQ(mkdir(store.c_str(), 0750), 0);
    ASSERT_EQ(mkdir((store + "/empty-dir").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((store + "/sub").c_str(), 0755), 0);
    ASSERT_TRUE(sandbox::writeFile(store + "/sub/target", "target text", 0600));
    ASSERT_EQ(symlink("target", (store + "/sub/link").c_str()), 0);
    ASSERT_EQ(symlink("..", (store + "/sub/up").c_str()), 0);       // back to store
    ASSERT_EQ(symlink(".", (store + "/sub/self").c_str()), 0);
    ASSERT_EQ(symlink("missing", (store + "/dangling").c_str()), 0);

    SavedTree tree;
    ASSERT_TRUE(tree.start());
    TreeChunk* current = tree.first;
    // A dangling link cannot be examined: like any unreadable entry it
    // makes the tree impossible to keep.
    EXPECT_FALSE(saveTree(current, store.c_str()));
    tree.last = current;
    tree.clear();
    ASSERT_EQ(unlink((store + "/dangling").c_str()), 0);

    ASSERT_TRUE(tree.start());
    ASSERT_TRUE(saveTree(tree.last, store.c_str()));
    tree.complete();
    EXPECT_EQ(countChunks(tree.first), 1);  // the loop was not followed

    std::system(("rm -rf " + store).c_str());
    ASSERT_TRUE(restoreTree(tree.first));
    struct stat st;
    ASSERT_EQ(lstat((store + "/sub/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(sandbox::readFile(store + "/sub/link"), "target text");
    EXPECT_NE(lstat((store + "/sub/up").c_str(), &st), 0);
    EXPECT_NE(lstat((store + "/sub/self").c_str(), &st), 0);
    ASSERT_EQ(stat((store + "/empty-dir").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(stat(store.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);

    // Restoring over an existing tree fails at the first directory.
    tree.first->cursor = 0;
    for (TreeChunk* c = tree.first; c; c = c->next) c->cursor = 0;
    EXPECT_FALSE(restoreTree(tree.first));
}

TEST(KeepConfig, FileThatIsShorterThanItsSizeCannotBeKept) {
    // Files of this kind report a size larger than what reading gives.
    const char* file = "/sys/kernel/uevent_seqnum";
    struct stat st;
    if (stat(file, &st) != 0 || st.st_size == 0) GTEST_SKIP() << "no such file here";
    SavedTree tree;
    ASSERT_TRUE(tree.start());
    TreeChunk* current = tree.first;
    EXPECT_FALSE(saveTree(current, file));
    tree.last = current;
}

TEST(KeepConfig, StreamsThatEndEarlyOrLackTheMagicAreRefused) {
    TempDir dir;
    std::string file = dir.path() + "/f";
    ASSERT_TRUE(sandbox::writeFile(file, "contents"));
    SavedTree tree;
    ASSERT_TRUE(tree.start());
    ASSERT_TRUE(saveTree(tree.last, file.c_str()));
    tree.complete();
    unlink(file.c_str());

    // Cut inside the contents: the file is created but the step fails.
    int32_t full = tree.first->end;
    tree.first->end = full - 3;
    EXPECT_FALSE(restoreTree(tree.first));
    // Cut inside the status record.
    tree.first->cursor = 0;
    tree.first->end = int32_t(file.size() + 1 + 10);
    EXPECT_FALSE(restoreTree(tree.first));
    tree.first->cursor = 0;
    tree.first->end = full;

    testing::internal::CaptureStdout();
    tree.first->magic = 0;
    writeBackConfiguration(tree);
    reportKeptConfiguration();  // what the flows print after "Software installed."
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ERROR: couldn't write old configuration - proboably not enough space on the disk"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("WARNING: the old configuration was restored only in part"), std::string::npos) << out;
    EXPECT_TRUE(tree.empty());
}

TEST(ReadWholeFile, ReadsFilesWhole) {
    TempDir dir;
    std::string file = dir.path() + "/data";
    std::string content = pattern(70000, 3);
    ASSERT_TRUE(sandbox::writeFile(file, content));
    FileImage image;
    ASSERT_TRUE(readWholeFile(image, file.c_str()));
    ASSERT_EQ(image.size, 70000);
    EXPECT_EQ(std::memcmp(image.data, content.data(), content.size()), 0);
    std::free(image.data);

    std::string empty = dir.path() + "/empty";
    ASSERT_TRUE(sandbox::writeFile(empty, ""));
    FileImage none;
    EXPECT_TRUE(readWholeFile(none, empty.c_str()));
    EXPECT_EQ(none.size, 0);
    EXPECT_EQ(none.data, nullptr);

    FileImage missing;
    EXPECT_FALSE(readWholeFile(missing, (dir.path() + "/missing").c_str()));
}

TEST(ReadWholeFile, FileShorterThanItsSizeIsNotWhole) {
    const char* file = "/sys/kernel/uevent_seqnum";
    struct stat st;
    if (stat(file, &st) != 0 || st.st_size == 0) GTEST_SKIP() << "no such file here";
    FileImage image;
    EXPECT_FALSE(readWholeFile(image, file));
    std::free(image.data);
}

}  // namespace
