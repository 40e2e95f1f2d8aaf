// The Windows services under the program: the bcrypt digest, the command
// line as UTF-8, the roaming application-data folder, local and UTC time,
// starting a file with the shell, holding it against writers while it is
// checked and started, the lock between processes, the user's proxy settings
// through WinHTTP, what the static libcurl can do for proxy sign-in, and
// the link's cost.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/command_line_win.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "platform/launch.h"
#include "platform/link_cost.h"
#include "platform/sha256.h"
#include "platform/system_proxy.h"
#include "platform/user_folders.h"
#include "release/verify.h"
#include "tests/support/temp_dir.h"

namespace solvane {
namespace {

std::string Hex(const Sha256Digest& digest) {
  std::string out;
  char two[3];
  for (unsigned char byte : digest) {
    std::snprintf(two, sizeof two, "%02x", byte);
    out += two;
  }
  return out;
}

std::string DigestOf(const std::string& data, std::size_t piece) {
  Sha256Hash hash = Sha256Begin();
  if (!hash) return "no hash";
  for (std::size_t at = 0; at < data.size(); at += piece) {
    Sha256Update(*hash, data.data() + at, std::min(piece, data.size() - at));
  }
  Sha256Digest digest{};
  if (!Sha256Finish(*hash, digest)) return "finish failed";
  return Hex(digest);
}

// Sign-in to a company proxy as the logged-on user needs SSPI with NTLM and
// Negotiate in the static libcurl; TLS is Schannel's.
TEST(Curl, BuiltWithSspiSignInAndSchannel) {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  EXPECT_TRUE(info->features & CURL_VERSION_SSPI);
  EXPECT_TRUE(info->features & CURL_VERSION_NTLM);
  EXPECT_TRUE(info->features & CURL_VERSION_SPNEGO);
  EXPECT_NE(std::string(info->ssl_version).find("Schannel"), std::string::npos)
      << info->ssl_version;
}

// The connection settings value as Windows keeps it: version, counter, flags,
// then the proxy, bypass and PAC strings with their lengths.
std::string ConnectionSettings(DWORD flags, const std::string& proxy, const std::string& bypass,
                               const std::string& pac) {
  std::string value;
  const auto add = [&value](DWORD number) {
    value.append(reinterpret_cast<const char*>(&number), sizeof number);
  };
  add(0x46);
  add(1);
  add(flags);
  for (const std::string* text : {&proxy, &bypass, &pac}) {
    add(static_cast<DWORD>(text->size()));
    value += *text;
  }
  return value + std::string(32, '\0');
}

bool WriteConnectionSettings(const std::string& value) {
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER,
                        "Software\\Microsoft\\Windows\\CurrentVersion\\Internet "
                        "Settings\\Connections",
                        0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const bool written = ::RegSetValueExA(key, "DefaultConnectionSettings", 0, REG_BINARY,
                                        reinterpret_cast<const BYTE*>(value.data()),
                                        static_cast<DWORD>(value.size())) == ERROR_SUCCESS;
  ::RegCloseKey(key);
  return written;
}

// The settings are read once per process: this is the first read here, and
// a later change of the value does not reach it.
TEST(SystemProxy, ReadsTheUsersSettingsOncePerRun) {
  ASSERT_TRUE(WriteConnectionSettings(
      ConnectionSettings(2 | 4, "http=10.0.0.1:3128;https=10.0.0.2:3128", "<local>;*.corp.example",
                         "http://127.0.0.1:9/proxy.pac")));
  SystemProxySettings settings;
  const bool read = ReadSystemProxySettings(settings);
  EXPECT_TRUE(WriteConnectionSettings(ConnectionSettings(1, "", "", "")));
  ASSERT_TRUE(read);
  EXPECT_FALSE(settings.auto_detect);
  EXPECT_EQ(settings.proxy, "http=10.0.0.1:3128;https=10.0.0.2:3128");
  EXPECT_EQ(settings.bypass, "<local>;*.corp.example");
  EXPECT_EQ(settings.auto_config_url, "http://127.0.0.1:9/proxy.pac");

  SystemProxySettings again;
  ASSERT_TRUE(ReadSystemProxySettings(again));
  EXPECT_EQ(again.proxy, settings.proxy);
}

TEST(Bcrypt, Sha256MatchesTheStandardVectorsHoweverTheInputIsSplit) {
  EXPECT_EQ(DigestOf("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(DigestOf("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  for (std::size_t piece : {1u, 7u, 64u, 1000u}) {
    EXPECT_EQ(DigestOf(two_blocks, piece),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1")
        << "pieces of " << piece;
  }
  const std::string million(1000000, 'a');
  EXPECT_EQ(DigestOf(million, 8192),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Bcrypt, VerifiesFilesOnDisk) {
  testing::TempDir dir;
  const std::string path = dir.str() + "/setup.exe";
  testing::WriteFile(dir.path() / "setup.exe", std::string(8192 * 3, 'a'));
  const std::optional<std::string> hex = Sha256Hex(path);
  ASSERT_TRUE(hex);
  EXPECT_TRUE(VerifySha256(path, *hex));
  std::string upper = *hex;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_FALSE(VerifySha256(path, upper));
  EXPECT_FALSE(VerifySha256(dir.str() + "/missing.exe", *hex));
}

TEST(CommandLine, SplitsTheProcessCommandLineIntoUtf8) {
  const std::vector<std::string> args = CommandLineArguments();
  ASSERT_EQ(static_cast<int>(args.size()), __argc);
  ASSERT_FALSE(args.empty());
  EXPECT_NE(args[0].find("solvane_windows_tests"), std::string::npos) << args[0];
  // The arguments GoogleTest was given come through unchanged.
  for (int i = 1; i < __argc; ++i) EXPECT_EQ(args[i], __argv[i]);
}

TEST(UserFolders, RoamingAppDataWithForwardSlashes) {
  const std::optional<std::string> folder = UserDataFolder();
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->find('\\'), std::string::npos) << *folder;
  EXPECT_NE(folder->find(":/"), std::string::npos) << "a drive path: " << *folder;
  EXPECT_TRUE(PathExists(*folder));

  char expected[MAX_PATH] = {};
  ASSERT_EQ(::GetEnvironmentVariableA("APPDATA", expected, MAX_PATH) > 0, true);
  std::string slashed = expected;
  for (char& c : slashed) {
    if (c == '\\') c = '/';
  }
  EXPECT_EQ(*folder, slashed);
}

TEST(Clock, ConvertsUnixTimesToUtcAndLocalDates) {
  const std::tm utc = UtcTime(951782400);  // 2000-02-29 00:00:00 UTC
  EXPECT_EQ(utc.tm_year, 100);
  EXPECT_EQ(utc.tm_mon, 1);
  EXPECT_EQ(utc.tm_mday, 29);
  EXPECT_EQ(utc.tm_hour, 0);

  const std::tm late = UtcTime(4102444800);  // 2100-01-01, past 32-bit time
  EXPECT_EQ(late.tm_year, 200);
  EXPECT_EQ(late.tm_mday, 1);

  const std::int64_t now = UnixNow();
  const auto system_now = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  EXPECT_LE(std::llabs(now - system_now), 2);
  const std::tm local = LocalTime(now);
  EXPECT_GE(local.tm_year, 120);
}

TEST(Shell, OpensAProgramAndRefusesAMissingFile) {
  testing::TempDir dir;
  EXPECT_FALSE(OpenWithShell(dir.str() + "/missing-setup.exe"));

  // A copy of the stand-in installer, started by the shell's "open" verb,
  // leaves "<its path>.ran" with its command line.
  char self[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string installer = self;
  installer = installer.substr(0, installer.find_last_of("\\/") + 1) + "marker_installer.exe";
  const std::string copy = dir.str() + "\\Solvane-9.9.9.exe";
  ASSERT_TRUE(::CopyFileA(installer.c_str(), copy.c_str(), FALSE)) << installer;

  ASSERT_TRUE(OpenWithShell(copy));
  const std::string marker = copy + ".ran";
  for (int i = 0; i < 200 && !PathExists(marker); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(PathExists(marker)) << "the installer did not run";
  const std::string line = testing::ReadFile(marker);
  EXPECT_NE(line.find("Solvane-9.9.9.exe"), std::string::npos) << line;
  // No arguments: the command line ends with the program name.
  const std::string trimmed = line.substr(0, line.find_last_not_of("\r\n\" ") + 1);
  EXPECT_TRUE(trimmed.size() >= 4 && trimmed.compare(trimmed.size() - 4, 4, ".exe") == 0) << line;
}

// What --apply relies on: from before its hash until after the shell has
// started the installer, nobody can write, rename or delete the file, yet the
// shell can still start it.
TEST(Shell, AHeldFileRefusesWritersAndIsStillStarted) {
  testing::TempDir dir;
  char self[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string installer = self;
  installer = installer.substr(0, installer.find_last_of("\\/") + 1) + "marker_installer.exe";
  const std::string copy = dir.str() + "\\Solvane-9.9.8.exe";
  ASSERT_TRUE(::CopyFileA(installer.c_str(), copy.c_str(), FALSE)) << installer;
  const std::optional<std::string> digest = Sha256Hex(copy);
  ASSERT_TRUE(digest);

  {
    const HeldFileHandle held = HoldFile(copy);
    ASSERT_TRUE(held);
    const HANDLE writer = ::CreateFileA(copy.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) ::CloseHandle(writer);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(::DeleteFileA(copy.c_str()));
    EXPECT_FALSE(::MoveFileExA(copy.c_str(), (copy + ".moved").c_str(), 0));
    EXPECT_FALSE(::CopyFileA(self, copy.c_str(), FALSE));

    // The bytes read through the handle are the file's.
    EXPECT_TRUE(VerifySha256Stream(
        [&held](void* buffer, std::size_t size) { return ReadHeldFile(*held, buffer, size); },
        *digest));
    ASSERT_TRUE(LaunchHeldFile(*held, copy));
  }
  const std::string marker = copy + ".ran";
  for (int i = 0; i < 200 && !PathExists(marker); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(PathExists(marker)) << "the held installer did not run";

  // Released: the file is an ordinary file again.
  for (int i = 0; i < 100 && !::DeleteFileA(copy.c_str()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the installer may still run
  }
  EXPECT_FALSE(PathExists(copy));
  EXPECT_FALSE(HoldFile(copy));
  EXPECT_FALSE(HoldFile(dir.str()));  // a folder is not an installer
}

// The folder's lock file cannot be deleted while held, so a second run always
// meets the lock; a partial file's lock lets its own download write and rename.
TEST(FileLock, OneHolderAtATimeAndTheLockCannotBeDeletedAway) {
  testing::TempDir dir;
  const std::string lock_file = dir.str() + "\\Updates.lock";
  LockAttempt first = LockFolder(dir.str(), "/Updates.lock", 0);
  ASSERT_TRUE(first.lock) << first.error;
  EXPECT_FALSE(::DeleteFileA(lock_file.c_str()));
  const LockAttempt second = LockFolder(dir.str(), "/Updates.lock", 100);
  EXPECT_FALSE(second.lock);
  EXPECT_TRUE(second.busy);
  EXPECT_EQ(second.error, "");
  first.lock.reset();
  EXPECT_TRUE(LockFolder(dir.str(), "/Updates.lock", 0).lock);

  const std::string partial = dir.str() + "\\Solvane.exe.partial";
  LockAttempt held = LockFile(partial);
  ASSERT_TRUE(held.lock) << held.error;
  EXPECT_TRUE(LockFile(partial).busy);
  {
    UniqueFile writer = OpenFile(partial, "wb");
    ASSERT_TRUE(writer);
    EXPECT_EQ(std::fwrite("bytes", 1, 5, writer.get()), 5u);
  }
  EXPECT_EQ(testing::ReadFile(partial), "bytes");
  EXPECT_TRUE(RenameOver(partial, dir.str() + "\\Solvane.exe"));

  // A hard link to a user's file at the partial name is removed, never written through.
  const std::string document = dir.str() + "\\document.txt";
  testing::WriteFile(document, "the user's words");
  ASSERT_TRUE(::CreateHardLinkA(partial.c_str(), document.c_str(), nullptr));
  EXPECT_FALSE(OpenOwnFile(partial, "wb"));
  EXPECT_TRUE(LockFile(partial).lock);
  EXPECT_EQ(testing::ReadFile(document), "the user's words");

  // A directory where the lock file belongs is an error with the system's
  // text, never "busy".
  testing::TempDir other;
  ASSERT_TRUE(::CreateDirectoryA((other.str() + "\\Updates.lock").c_str(), nullptr));
  const LockAttempt blocked = LockFolder(other.str(), "/Updates.lock", 0);
  EXPECT_FALSE(blocked.lock);
  EXPECT_FALSE(blocked.busy);
  EXPECT_NE(blocked.error, "");
}

// What the network list manager says here, printed for the record.
TEST(LinkCost, TheNetworkListManagerAnswers) {
  const LinkCost cost = QueryLinkCost();
  std::printf("link cost: %s\n", LinkCostText(cost));
  EXPECT_NE(cost, LinkCost::kMetered) << "a test machine's link is not metered";
}

}  // namespace
}  // namespace solvane
