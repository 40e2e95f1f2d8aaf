// Holds a file the way a virus scanner does for a moment: open for reading,
// sharing reading only, so that it can be neither renamed over nor deleted.
//   hold_file <path>
// Writes "<path>.held" once it holds the file and lets go when
// "<path>.release" appears (or after two minutes).
#include <windows.h>

#include <string>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string path = argv[1];  // the tests' paths are ASCII
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  const HANDLE held = ::CreateFileA((path + ".held").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
  const std::string release = path + ".release";
  for (int i = 0; i < 1200 && ::GetFileAttributesA(release.c_str()) == INVALID_FILE_ATTRIBUTES;
       ++i) {
    ::Sleep(100);
  }
  ::CloseHandle(file);
  return 0;
}
