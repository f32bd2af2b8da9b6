// Platform paths under the data root, files, folders and find-first/next.
#include <sys/stat.h>
#include <set>
#include "test_root.h"

using FilesTest = TempRootTest;

TEST_F(FilesTest, PlatformPathsMapUnderTheRootWithoutRegardToCase) {
  std::string p;
  ASSERT_EQ(PlatformTranslatePath("\\Quorvale\\x.txt", p), ERROR_SUCCESS);
  EXPECT_EQ(p, root_ + "/Quorvale/x.txt");
  ASSERT_EQ(PlatformTranslatePath("\\Windows\\AltitudeTable_1.RAW", p), ERROR_SUCCESS);
  EXPECT_EQ(p, root_ + "/Windows/AltitudeTable_1.RAW");
  mkdir((root_ + "/Storage Card").c_str(), 0755);
  ASSERT_EQ(PlatformTranslatePath("\\STORAGE CARD\\quorvale", p), ERROR_SUCCESS);
  EXPECT_EQ(p, root_ + "/Storage Card/quorvale");
  ASSERT_EQ(PlatformTranslatePath("\\", p), ERROR_SUCCESS);
  EXPECT_EQ(p, root_);
}

TEST_F(FilesTest, PathsThatLeaveTheRootAreRefused) {
  std::string p;
  for (const char* bad : {"\\..\\etc\\passwd", "\\Quorvale\\..\\..\\x", "..", "C:\\Windows", "\\a\\b:c"})
    EXPECT_EQ(PlatformTranslatePath(bad, p), ERROR_ACCESS_DENIED) << bad;
  EXPECT_EQ(CreateFileW(u"\\..\\x", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(PlatformFopen("\\..\\escape.txt", "wb"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(FilesTest, CreateWriteSeekTruncateAndRead) {
  ASSERT_TRUE(CreateDirectoryW(u"\\Quorvale", nullptr));
  EXPECT_FALSE(CreateDirectoryW(u"\\Quorvale", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  HANDLE h = CreateFileW(u"\\Quorvale\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(GetFileSize(h, nullptr), 10u);
  EXPECT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(GetFileSize(h, nullptr), 4u);
  EXPECT_EQ(SetFilePointer(h, -2, nullptr, FILE_END), 2u);
  char buf[8] = {};
  ASSERT_TRUE(ReadFile(h, buf, 8, &n, nullptr));
  EXPECT_EQ(n, 2u);
  EXPECT_STREQ(buf, "23");
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(ReadWholeFile(root_ + "/Quorvale/data.bin"), "0123");

  EXPECT_EQ(CreateFileW(u"\\quorvale\\DATA.BIN", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  h = CreateFileW(u"\\quorvale\\DATA.BIN", GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  CloseHandle(h);
  EXPECT_EQ(CreateFileW(u"\\Quorvale\\none.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CreateFileW(u"\\Missing\\x.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, MoveRefusesAnExistingTargetAndDeleteRemoves) {
  FILE* a = PlatformFopen("\\a.txt", "wb");
  ASSERT_NE(a, nullptr);
  fputs("a", a);
  fclose(a);
  FILE* b = PlatformFopen("\\b.txt", "wb");
  ASSERT_NE(b, nullptr);
  fclose(b);
  EXPECT_FALSE(MoveFileW(u"\\a.txt", u"\\b.txt"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(DeleteFileW(u"\\B.TXT"));
  ASSERT_TRUE(MoveFileW(u"\\a.txt", u"\\b.txt"));
  EXPECT_EQ(ReadWholeFile(root_ + "/b.txt"), "a");
  EXPECT_FALSE(DeleteFileW(u"\\a.txt"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesW(u"\\b.txt"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(GetFileAttributesW(u"\\"), FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(FilesTest, FindMatchesStarAndQuestionMarkWithoutRegardToCase) {
  CreateDirectoryW(u"\\Quorvale", nullptr);
  for (const char* name : {"\\Quorvale\\208.dbc", "\\Quorvale\\262.DBC", "\\Quorvale\\old.cdb", "\\Quorvale\\2x.dbc"}) {
    FILE* f = PlatformFopen(name, "wb");
    ASSERT_NE(f, nullptr);
    fputs("xyz", f);
    fclose(f);
  }
  auto find = [](const char16_t* pattern) {
    std::set<std::string> names;
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW(pattern, &d);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      names.insert(WideToUtf8(d.cFileName));
      EXPECT_EQ(d.nFileSizeLow, 3u);
    } while (FindNextFileW(h, &d));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    FindClose(h);
    return names;
  };
  EXPECT_EQ(find(u"\\Quorvale\\*.dbc"), (std::set<std::string>{"208.dbc", "262.DBC", "2x.dbc"}));
  EXPECT_EQ(find(u"\\quorvale\\2??.dbc"), (std::set<std::string>{"208.dbc", "262.DBC"}));
  EXPECT_EQ(find(u"\\Quorvale\\*.CDB"), (std::set<std::string>{"old.cdb"}));
  WIN32_FIND_DATAW d;
  EXPECT_EQ(FindFirstFileW(u"\\Quorvale\\*.gpx", &d), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(FindFirstFileW(u"\\Nowhere\\*", &d), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(NameMatching, Wildcards) {
  EXPECT_TRUE(PlatformNameMatches("*", ""));
  EXPECT_TRUE(PlatformNameMatches("*.*", "a.b"));
  EXPECT_TRUE(PlatformNameMatches("a*b*c", "aXXbYYc"));
  EXPECT_FALSE(PlatformNameMatches("a*b*c", "aXXbYY"));
  EXPECT_FALSE(PlatformNameMatches("?", ""));
  EXPECT_TRUE(PlatformNameMatches("*Old.txt", "FrxDriverOLD.TXT"));
}
