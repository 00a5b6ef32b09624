// The file calls on POSIX as the project and playlist code uses them: names with either
// separator, any letter case for finding and only the exact one for creating, Windows
// error codes, and the fault seams.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/platform/platform_support.h"

namespace fs = std::filesystem;

class Files : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    std::string pattern = (fs::temp_directory_path() / "tbx_files_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    fs::create_directories(dir / "Songs");
  }
  void TearDown() override {
    fs::remove_all(dir);
    PlatformTest::TearDown();
  }
  std::string P(const std::string& rel) const { return dir.string() + "/" + rel; }
  static void Put(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }
  static std::string Get(HANDLE h, DWORD n) {
    std::string s(n, '\0');
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(h, s.data(), n, &got, nullptr));
    s.resize(got);
    return s;
  }
  HANDLE Open(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }
  HANDLE Create(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  fs::path dir;
};

TEST_F(Files, NamesMatchWithEitherSeparatorAndAnyCase) {
  Put(dir / "Songs" / "intro.tbx", "TBX!");
  HANDLE h = Open(P("songs\\INTRO.TBX"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(h, nullptr), 4u);
  EXPECT_EQ(Get(h, 100), "TBX!");
  EXPECT_EQ(Get(h, 100), "");  // end of file: success with nothing read
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // Creating never matches another spelling: a folder spelled otherwise is missing, and a
  // file spelled otherwise is a new file beside the old one, which keeps its bytes.
  EXPECT_EQ(Create(P("SONGS/Intro.TBX")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  h = Create(P("Songs/Intro.TBX"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, "new", 3, &written, nullptr));
  EXPECT_EQ(written, 3u);
  CloseHandle(h);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "Songs"), fs::directory_iterator{}), 2);
  h = Open(P("Songs/intro.tbx"));
  EXPECT_EQ(Get(h, 10), "TBX!");
  CloseHandle(h);
  h = Open(P("Songs/Intro.TBX"));
  EXPECT_EQ(Get(h, 10), "new");
  CloseHandle(h);

  // A new file keeps the spelling it was given.
  h = Create(P("Songs/Outro.TBX"));
  CloseHandle(h);
  EXPECT_TRUE(fs::exists(dir / "Songs" / "Outro.TBX"));
}

TEST_F(Files, FailuresGiveWindowsErrorCodes) {
  EXPECT_EQ(Open(P("Songs/none.tbx")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Open(P("NoFolder/none.tbx")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Create(P("NoFolder/new.tbx")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Open(P("Songs")), INVALID_HANDLE_VALUE);  // a folder is not a file
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Open(""), INVALID_HANDLE_VALUE);

  HANDLE w = Create(P("a.tbx"));
  char buf[4];
  DWORD n = 99;
  EXPECT_FALSE(ReadFile(w, buf, sizeof buf, &n, nullptr));  // opened for writing only
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(w);

  // Renaming and deleting use names exactly as given, never another spelling.
  Put(dir / "b.tbx", "b");
  EXPECT_FALSE(MoveFileExA(P("a.tbx").c_str(), P("b.tbx").c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(MoveFileExA(P("A.TBX").c_str(), P("c.tbx").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(MoveFileExA(P("a.tbx").c_str(), P("b.tbx").c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  EXPECT_FALSE(fs::exists(dir / "a.tbx"));
  EXPECT_EQ(fs::file_size(dir / "b.tbx"), 0u);
  EXPECT_FALSE(DeleteFileA(P("B.tbx").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(fs::exists(dir / "b.tbx"));
  EXPECT_TRUE(DeleteFileA(P("b.tbx").c_str()));
  EXPECT_FALSE(DeleteFileA(P("b.tbx").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Files, FaultSeamsStrikeAfterTheirSkipForTheirCount) {
  Put(dir / "f.tbx", "0123456789");
  tbxtest::InjectFault(tbxtest::Fault::FileOpen, 1, 1);
  HANDLE h = Open(P("f.tbx"));
  EXPECT_NE(h, INVALID_HANDLE_VALUE);  // skipped
  CloseHandle(h);
  EXPECT_EQ(Open(P("f.tbx")), INVALID_HANDLE_VALUE);  // struck
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  h = Open(P("f.tbx"));  // count used up
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  tbxtest::InjectFault(tbxtest::Fault::FileRead);
  EXPECT_EQ(Get(h, 10), "01234");  // a short read, reported as success
  tbxtest::InjectFault(tbxtest::Fault::FileSize);
  EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(NO_ERROR));
  CloseHandle(h);

  tbxtest::InjectFault(tbxtest::Fault::FileCreate);
  EXPECT_EQ(Create(P("g.tbx")), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(fs::exists(dir / "g.tbx"));
  h = Create(P("g.tbx"));
  tbxtest::InjectFault(tbxtest::Fault::FileWrite);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, "abcdef", 6, &written, nullptr));
  EXPECT_EQ(written, 3u);  // a short write the caller must notice
  CloseHandle(h);
  EXPECT_EQ(fs::file_size(dir / "g.tbx"), 3u);

  tbxtest::InjectFault(tbxtest::Fault::FileRename, 0, 2);
  EXPECT_FALSE(MoveFileExA(P("g.tbx").c_str(), P("h.tbx").c_str(), MOVEFILE_REPLACE_EXISTING));
  tbxtest::ClearFaults();
  EXPECT_TRUE(MoveFileExA(P("g.tbx").c_str(), P("h.tbx").c_str(), MOVEFILE_REPLACE_EXISTING));

  h = Create(P("open.tbx"));
  tbxtest::PlatformReset();  // closes what a test left open
  tbxtest::SetUnexpectedHandler([this](const std::string& what) { unexpected.push_back(what); });
  EXPECT_FALSE(CloseHandle(h));
}

// A temporary file is created only where nothing exists: a link planted at its name, to a
// file or dangling, makes the creation fail and is never written through.
TEST_F(Files, CreatingANewFileNeverFollowsALink) {
  Put(dir / "victim", "keep");
  fs::create_symlink(dir / "victim", dir / "to-victim");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  for (const char* name : {"to-victim", "dangling"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(CreateFileA(P(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  }
  std::ifstream in(dir / "victim");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

// FIFOs, sockets and devices: a read gets a handle at once that reads and sizes nothing
// (no wait for a writer, no device data), a write is refused; attributes tell them apart.
TEST_F(Files, SpecialFilesNeitherBlockNorGiveData) {
  ASSERT_EQ(mkfifo(P("fifo").c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", dir / "zero");
  for (const char* name : {"fifo", "zero"}) {
    SCOPED_TRACE(name);
    HANDLE h = Open(P(name));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[8];
    DWORD n = 99;
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Create(P(name)), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetFileAttributesA(P(name).c_str()) & ~DWORD(FILE_ATTRIBUTE_REPARSE_POINT),
              static_cast<DWORD>(FILE_ATTRIBUTE_DEVICE));
  }
  // A symbolic link is marked as one, as Windows marks it, a dangling one too.
  EXPECT_EQ(GetFileAttributesA(P("zero").c_str()), DWORD(FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(GetFileAttributesA(P("fifo").c_str()), DWORD(FILE_ATTRIBUTE_DEVICE));
  fs::create_symlink(P("nowhere"), dir / "dangling");
  EXPECT_EQ(GetFileAttributesA(P("dangling").c_str()), DWORD(FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(GetFileAttributesA(P("Songs").c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesA(P("none").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}
