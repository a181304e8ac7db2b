// Fetches one address with wininet and the same strict certificate checks
// as the product, to prove that the prefix trusts the test endpoint before
// any case depends on it:
//
//   e2e_https_probe --url HEX
#include "common/win32.h"

#include "common/scoped_win.h"
#include "tests/e2e/helpers/helper_io.h"
#include "tests/e2e/helpers/report_text.h"

#include <wininet.h>

#include <string>

namespace {

struct ProbeInternetTraits {
    static bool IsValid(HINTERNET handle) { return handle != nullptr; }
    static void Close(HINTERNET handle) { InternetCloseHandle(handle); }
};

using ScopedInternetHandle = ScopedHandle<HINTERNET, ProbeInternetTraits>;

std::string Outcome(bool ok, DWORD status, const std::string& body, DWORD error) {
    std::u16string text(body.begin(), body.end());
    return std::string("{\"ok\":") + (ok ? "true" : "false") +
           ",\"status\":" + std::to_string(status) + ",\"body\":" + JsonString(text) +
           ",\"last_error\":" + std::to_string(error) + "}\n";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::u16string url;
    if (!HexArgumentValue(argc, argv, u"--url", &url)) {
        PrintUtf8("usage: e2e_https_probe --url HEX\n");
        return 2;
    }
    ScopedInternetHandle internet(
        InternetOpenW(L"TapwrightE2eProbe", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!internet) {
        PrintUtf8(Outcome(false, 0, "", GetLastError()));
        return 1;
    }
    // No INTERNET_FLAG_IGNORE_CERT_* flag: the point is to see the chain
    // accepted on its merits.
    ScopedInternetHandle request(
        InternetOpenUrlW(internet.get(), Wide(url), nullptr, 0,
                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                             INTERNET_FLAG_PRAGMA_NOCACHE,
                         0));
    if (!request) {
        PrintUtf8(Outcome(false, 0, "", GetLastError()));
        return 1;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                   nullptr);
    std::string body;
    char chunk[4096];
    DWORD read = 0;
    while (body.size() < 65536 && InternetReadFile(request.get(), chunk, sizeof chunk, &read) &&
           read > 0) {
        body.append(chunk, read);
    }
    PrintUtf8(Outcome(true, status, body, 0));
    return 0;
}
