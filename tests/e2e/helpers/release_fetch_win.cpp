// The launcher's update request and nothing else, with WinINet and the
// version library in the import table the ordinary way:
//
//   release_fetch --url HEX [--cache]
//
// It asks for the main program's file version beside it, sends the same
// headers with the same flags and time-outs as the launcher, reads the reply,
// and ends with 0 when a reply came, 1 when none did, 3 when WinINet failed
// to start. The benchmarks use it as the floor for the launcher's update
// check; the planting test uses it to show what a planted DLL does to a
// program that imports the ordinary way. With --cache it lets WinINet keep
// the reply as any browser would, so that a test can show that it would see
// a reply that was kept.
#include "common/win32.h"

#include "common/scoped_win.h"
#include "tests/e2e/helpers/helper_io.h"

#include <wininet.h>

#include <string>
#include <vector>

namespace {

constexpr char kUserAgent[] =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/115.0.0.0 Safari/537.36";
constexpr DWORD kRequestFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_CACHE_WRITE;
constexpr DWORD kCachingFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NEED_FILE;
constexpr DWORD kTimeoutMs = 5000;
constexpr DWORD kReadChunk = 1025;
constexpr size_t kMaxReplyBytes = 1 << 20;

struct FetchInternetTraits {
    static bool IsValid(HINTERNET handle) { return handle != nullptr; }
    static void Close(HINTERNET handle) { InternetCloseHandle(handle); }
};
using ScopedInternetHandle = ScopedHandle<HINTERNET, FetchInternetTraits>;

std::u16string Number(unsigned value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

std::u16string MainProgramVersion() {
    const std::u16string path = DirectoryOf(ModulePath()) + u"Tapwright.exe";
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(Wide(path), &ignored);
    std::vector<BYTE> block(size);
    void* fixed = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(Wide(path), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", &fixed, &length) ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return u"0.0.0.0";
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    return Number(HIWORD(info->dwFileVersionMS)) + u"." + Number(LOWORD(info->dwFileVersionMS)) +
           u"." + Number(HIWORD(info->dwFileVersionLS)) + u"." +
           Number(LOWORD(info->dwFileVersionLS));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::u16string url;
    if (!HexArgumentValue(argc, argv, u"--url", &url)) return 2;
    const bool cache = argc > 3 && FromWide(argv[3]) == u"--cache";
    ScopedInternetHandle internet(
        InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!internet) return 3;
    DWORD timeout = kTimeoutMs;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                         INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        InternetSetOptionW(internet.get(), option, &timeout, sizeof timeout);
    }
    const std::u16string headers =
        u"User-Version: " + MainProgramVersion() + u"\rUser-Debug: false";
    ScopedInternetHandle request(InternetOpenUrlW(internet.get(), Wide(url), Wide(headers),
                                                  static_cast<DWORD>(headers.size()),
                                                  cache ? kCachingFlags : kRequestFlags, 0));
    if (!request) return 1;
    std::string body;
    char chunk[kReadChunk];
    DWORD read = 0;
    while (body.size() < kMaxReplyBytes &&
           InternetReadFile(request.get(), chunk, kReadChunk, &read) && read > 0) {
        body.append(chunk, read);
    }
    return body.empty() ? 1 : 0;
}
