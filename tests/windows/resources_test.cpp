// The shipped SolvaneSetup.exe, read back the way Windows reads it: version
// information through GetFileVersionInfo, the icon group and the manifest
// through the resource loader, and the PE header for the subsystem and the
// DLLs it imports.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#ifndef SOLVANE_SHIPPED_EXE
#error "SOLVANE_SHIPPED_EXE must name the built SolvaneSetup.exe"
#endif

namespace {

// The build passes a Unix path; under wine that file is on drive Z:.
std::wstring ExePath() {
  std::string path = SOLVANE_SHIPPED_EXE;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return std::wstring(path.begin(), path.end());
}

std::vector<unsigned char> ReadExe() {
  std::ifstream in(std::filesystem::path(ExePath()), std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

class VersionInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(ExePath().c_str(), &handle);
    ASSERT_GT(size, 0u) << "no version resource, error " << ::GetLastError();
    block_.resize(size);
    ASSERT_TRUE(::GetFileVersionInfoW(ExePath().c_str(), 0, size, block_.data()));
  }

  std::wstring String(const wchar_t* name) {
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block_.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) ||
        !value) {
      return L"<missing>";
    }
    return std::wstring(value);
  }

  std::vector<unsigned char> block_;
};

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST_F(VersionInfo, FixedPartGivesVersion030ForFileAndProduct) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block_.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00000003u);  // 0.3
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000000u);  // .0.0
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00000003u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000000u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "no debug or pre-release flags";
}

TEST_F(VersionInfo, StringsAreUsEnglishUnicodeWithTheProductIdentity) {
  struct Translation {
    WORD language;
    WORD code_page;
  }* translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block_.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, sizeof(Translation));
  EXPECT_EQ(translation->language, 1033);
  EXPECT_EQ(translation->code_page, 1200);

  EXPECT_EQ(Narrow(String(L"FileVersion")), "0.3.0");
  EXPECT_EQ(Narrow(String(L"ProductVersion")), "0.3.0");
  EXPECT_EQ(Narrow(String(L"FileDescription")), "Solvane Setup");
  EXPECT_EQ(Narrow(String(L"InternalName")), "SolvaneSetup");
  EXPECT_EQ(Narrow(String(L"OriginalFilename")), "SolvaneSetup.exe");
  EXPECT_EQ(Narrow(String(L"ProductName")), "Solvane");
  EXPECT_EQ(Narrow(String(L"CompanyName")), "Korrinwade");
  EXPECT_NE(Narrow(String(L"LegalCopyright")).find("Korrinwade"), std::string::npos);
}

class ExeResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = ::LoadLibraryExW(ExePath().c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << "error " << ::GetLastError();
  }
  void TearDown() override {
    if (module_) ::FreeLibrary(module_);
  }

  // The bytes of one resource, empty when it is missing.
  std::string Resource(LPCWSTR name, LPCWSTR type) {
    const HRSRC info = ::FindResourceW(module_, name, type);
    if (!info) return std::string();
    const HGLOBAL loaded = ::LoadResource(module_, info);
    const void* data = loaded ? ::LockResource(loaded) : nullptr;
    if (!data) return std::string();
    return std::string(static_cast<const char*>(data), ::SizeofResource(module_, info));
  }

  HMODULE module_ = nullptr;
};

#pragma pack(push, 2)
struct GroupIconHeader {
  WORD reserved;
  WORD type;
  WORD count;
};
struct GroupIconEntry {
  BYTE width;
  BYTE height;
  BYTE colours;
  BYTE reserved;
  WORD planes;
  WORD bit_count;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST_F(ExeResources, IconGroupHoldsEightSquare32BitImages) {
  const std::string group = Resource(L"IDI_ICON1", MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
  ASSERT_GE(group.size(), sizeof(GroupIconHeader)) << "no icon group IDI_ICON1";
  GroupIconHeader header;
  std::memcpy(&header, group.data(), sizeof header);
  EXPECT_EQ(header.type, 1);
  ASSERT_EQ(header.count, 8);
  ASSERT_EQ(group.size(), sizeof header + 8 * sizeof(GroupIconEntry));

  std::set<int> sizes;
  for (int i = 0; i < header.count; ++i) {
    GroupIconEntry entry;
    std::memcpy(&entry, group.data() + sizeof header + i * sizeof entry, sizeof entry);
    const int width = entry.width == 0 ? 256 : entry.width;
    const int height = entry.height == 0 ? 256 : entry.height;
    SCOPED_TRACE("image " + std::to_string(width));
    EXPECT_EQ(width, height);
    EXPECT_EQ(entry.bit_count, 32);
    sizes.insert(width);

    // The image itself: a 32-bit DIB (BITMAPINFOHEADER, height doubled for
    // the mask) or, for the large size, a PNG.
    const std::string image = Resource(MAKEINTRESOURCEW(entry.id), MAKEINTRESOURCEW(3));
    ASSERT_EQ(image.size(), entry.bytes);
    if (image.compare(0, 4, "\x89PNG") == 0) {
      EXPECT_EQ(width, 256);
      continue;
    }
    BITMAPINFOHEADER dib;
    ASSERT_GE(image.size(), sizeof dib);
    std::memcpy(&dib, image.data(), sizeof dib);
    EXPECT_EQ(dib.biWidth, width);
    EXPECT_EQ(dib.biHeight, 2 * height);
    EXPECT_EQ(dib.biBitCount, 32);

    // And Windows can make an icon of it.
    const HICON icon = ::CreateIconFromResourceEx(
        reinterpret_cast<PBYTE>(const_cast<char*>(image.data())), static_cast<DWORD>(image.size()),
        TRUE, 0x00030000, width, height, LR_DEFAULTCOLOR);
    EXPECT_NE(icon, nullptr);
    if (icon) ::DestroyIcon(icon);
  }
  EXPECT_EQ(sizes, (std::set<int>{16, 24, 32, 48, 64, 96, 128, 256}));
}

TEST_F(ExeResources, ManifestRunsAsInvokerWithClassicControlsAndNoDpiAwareness) {
  std::string manifest = Resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_FALSE(manifest.empty()) << "no application manifest";
  std::string lower(manifest);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
  EXPECT_EQ(lower.find("common-controls"), std::string::npos);
  EXPECT_EQ(lower.find("dpiaware"), std::string::npos);
  EXPECT_EQ(lower.find("dpiawareness"), std::string::npos);
  EXPECT_EQ(lower.find("requireadministrator"), std::string::npos);
}

// The PE header, read from the file: a 64-bit GUI program that needs nothing
// but DLLs every Windows has.
TEST(ExeImage, IsA64BitGuiProgramImportingOnlySystemDlls) {
  const std::vector<unsigned char> file = ReadExe();
  ASSERT_GT(file.size(), 4096u);
  auto at = [&](std::size_t offset, auto& out) {
    ASSERT_LE(offset + sizeof out, file.size());
    std::memcpy(&out, file.data() + offset, sizeof out);
  };
  IMAGE_DOS_HEADER dos;
  at(0, dos);
  ASSERT_EQ(dos.e_magic, IMAGE_DOS_SIGNATURE);
  IMAGE_NT_HEADERS64 nt;
  at(static_cast<std::size_t>(dos.e_lfanew), nt);
  ASSERT_EQ(nt.Signature, IMAGE_NT_SIGNATURE);
  EXPECT_EQ(nt.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  ASSERT_EQ(nt.OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

  std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
  const std::size_t first_section = static_cast<std::size_t>(dos.e_lfanew) +
                                    offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                    nt.FileHeader.SizeOfOptionalHeader;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    at(first_section + i * sizeof(IMAGE_SECTION_HEADER), sections[i]);
  }
  auto file_offset = [&](DWORD rva) -> std::size_t {
    for (const auto& s : sections) {
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.Misc.VirtualSize) {
        return rva - s.VirtualAddress + s.PointerToRawData;
      }
    }
    return 0;
  };

  const IMAGE_DATA_DIRECTORY imports =
      nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(imports.VirtualAddress, 0u);
  const std::set<std::string> system_dlls = {
      "advapi32.dll", "bcrypt.dll",  "comctl32.dll", "crypt32.dll",  "gdi32.dll",
      "kernel32.dll", "msvcrt.dll",  "ole32.dll",    "secur32.dll",  "shell32.dll",
      "user32.dll",   "winhttp.dll", "winmm.dll",    "wintrust.dll", "ws2_32.dll"};
  std::set<std::string> imported;
  for (std::size_t offset = file_offset(imports.VirtualAddress);;
       offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    IMAGE_IMPORT_DESCRIPTOR descriptor;
    at(offset, descriptor);
    if (descriptor.Name == 0) break;
    std::string name(reinterpret_cast<const char*>(file.data() + file_offset(descriptor.Name)));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    imported.insert(name);
    EXPECT_TRUE(system_dlls.count(name)) << name << " is not a Windows system DLL";
  }
  // The calls the program is built on.
  for (const char* needed :
       {"bcrypt.dll", "comctl32.dll", "shell32.dll", "user32.dll", "gdi32.dll", "kernel32.dll"}) {
    EXPECT_TRUE(imported.count(needed)) << needed << " not imported";
  }
}

}  // namespace
