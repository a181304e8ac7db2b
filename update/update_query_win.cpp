#include "common/win32.h"

#include "update/update_query.h"

#include <wininet.h>

#include <memory>
#include <string>

#include "common/scoped_win.h"
#include "common/system_library.h"
#include "common/text.h"
#include "update/product_host.h"
#include "update/version_probe.h"

namespace {

constexpr char kUserAgent[] =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/115.0.0.0 Safari/537.36";

// Always from the server, never from the cache, and nothing written to the
// cache or the cookie store either: the launcher leaves no trace, whatever the
// server asks for. No flag that relaxes certificate checks belongs here: a
// reply from an impostor could send the user anywhere.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE |
                                INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                                INTERNET_FLAG_NO_AUTO_REDIRECT;

// A moved endpoint may redirect a few times, never without end.
constexpr int kMaxRedirects = 5;
constexpr DWORD kMaxAddress = 2048;

constexpr DWORD kReadChunk = 1025;

// A reply is a few hundred bytes. A server that sends without end must not
// exhaust memory: what the first mebibyte holds is all that is read.
constexpr size_t kMaxReplyBytes = 1 << 20;

// For the platforms that honour them; they alone do not bound a request.
constexpr DWORD kPlatformTimeoutMs = 5000;

// The start of the main program waits for the check, so no endpoint may hold
// it for long, however slowly it answers or drips.
constexpr DWORD kQueryDeadlineMs = 10000;

// WinINet is reached through LoadSystemLibrary, not the import table: it is
// no known DLL, and a copy planted beside the launcher must never load.
struct WinInet {
    decltype(&::InternetOpenA) InternetOpenA;
    decltype(&::InternetSetOptionW) InternetSetOptionW;
    decltype(&::InternetOpenUrlW) InternetOpenUrlW;
    decltype(&::InternetReadFile) InternetReadFile;
    decltype(&::InternetCloseHandle) InternetCloseHandle;
    decltype(&::HttpQueryInfoW) HttpQueryInfoW;
    decltype(&::InternetCombineUrlW) InternetCombineUrlW;
};

WinInet LoadWinInet() {
    HMODULE module = LoadSystemLibrary(L"wininet.dll");
    if (module == nullptr) {
        return {};
    }
    return {
        GetLibraryFunction<decltype(&::InternetOpenA)>(module, "InternetOpenA"),
        GetLibraryFunction<decltype(&::InternetSetOptionW)>(module, "InternetSetOptionW"),
        GetLibraryFunction<decltype(&::InternetOpenUrlW)>(module, "InternetOpenUrlW"),
        GetLibraryFunction<decltype(&::InternetReadFile)>(module, "InternetReadFile"),
        GetLibraryFunction<decltype(&::InternetCloseHandle)>(module, "InternetCloseHandle"),
        GetLibraryFunction<decltype(&::HttpQueryInfoW)>(module, "HttpQueryInfoW"),
        GetLibraryFunction<decltype(&::InternetCombineUrlW)>(module, "InternetCombineUrlW"),
    };
}

bool IsComplete(const WinInet& api) {
    return api.InternetOpenA && api.InternetSetOptionW && api.InternetOpenUrlW && api.InternetReadFile &&
           api.InternetCloseHandle && api.HttpQueryInfoW && api.InternetCombineUrlW;
}

decltype(&::InternetCloseHandle) CloseInternetHandle = nullptr;

struct InternetHandleTraits {
    static bool IsValid(HINTERNET handle) { return handle != nullptr; }
    static void Close(HINTERNET handle) { CloseInternetHandle(handle); }
};
using ScopedInternetHandle = ScopedHandle<HINTERNET, InternetHandleTraits>;

void SetTimeouts(const WinInet& api, HINTERNET internet) {
    DWORD timeout = kPlatformTimeoutMs;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        api.InternetSetOptionW(internet, option, &timeout, sizeof(timeout));
    }
}

unsigned StatusOf(const WinInet& api, HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    api.HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                       nullptr);
    return status;
}

// The address a redirect names, resolved against the one that answered with it.
std::u16string RedirectTarget(const WinInet& api, HINTERNET request, const std::u16string& from) {
    wchar_t location[kMaxAddress] = {};
    DWORD size = sizeof(location);
    if (!api.HttpQueryInfoW(request, HTTP_QUERY_LOCATION, location, &size, nullptr)) {
        return {};
    }
    wchar_t target[kMaxAddress] = {};
    DWORD length = kMaxAddress;
    if (!api.InternetCombineUrlW(Wide(from), location, target, &length, ICU_NO_ENCODE)) {
        return {};
    }
    return FromWide(target, length);
}

// Redirects are followed here, not by the platform, so that every hop is seen:
// how WinINet treats a redirect that leaves https depends on flags and
// versions (Wine's follows it silently), and a reply that came over plain HTTP
// at any hop is not trusted, whoever answered last.
ScopedInternetHandle OpenOverHttpsOnly(const WinInet& api, HINTERNET internet,
                                       const std::u16string& headers) {
    std::u16string address = UpdateEndpointAddress();
    for (int hop = 0; hop <= kMaxRedirects; ++hop) {
        ScopedInternetHandle request(api.InternetOpenUrlW(internet, Wide(address), Wide(headers),
                                                          static_cast<DWORD>(headers.size()),
                                                          kRequestFlags, 0));
        if (!request || !IsRedirectStatus(StatusOf(api, request.get()))) {
            return request;
        }
        address = RedirectTarget(api, request.get(), address);
        if (!IsSecureAddress(address)) {
            return {};
        }
    }
    return {};
}

std::string QueryEndpoint() {
    const WinInet api = LoadWinInet();
    if (!IsComplete(api)) {
        return {};
    }
    CloseInternetHandle = api.InternetCloseHandle;
    // Declared first, so closed last: after the request that belongs to it.
    ScopedInternetHandle internet(api.InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!internet) {
        return {};
    }
    SetTimeouts(api, internet.get());
    const std::u16string headers = u"User-Version: " + GetInstalledVersion() + u"\rUser-Debug: false";
    ScopedInternetHandle request = OpenOverHttpsOnly(api, internet.get(), headers);
    if (!request) {
        return {};
    }
    std::string body;
    char chunk[kReadChunk];
    while (body.size() < kMaxReplyBytes) {
        DWORD read = 0;
        api.InternetReadFile(request.get(), chunk, kReadChunk, &read);
        if (read == 0) {
            break;
        }
        body.append(chunk, std::min<size_t>(read, kMaxReplyBytes - body.size()));
    }
    return body;
}

// Shared between the start-up thread and the query thread, so that a query
// that outlives its deadline still has somewhere to put its reply.
struct PendingReply {
    std::string body;
};

DWORD WINAPI RunQuery(void* parameter) {
    std::unique_ptr<std::shared_ptr<PendingReply>> reply(static_cast<std::shared_ptr<PendingReply>*>(parameter));
    (*reply)->body = QueryEndpoint();
    return 0;
}

}  // namespace

// The platform's time-outs do not bound a request everywhere (a server that
// accepts and never answers can hold one for minutes), so the query runs on a
// thread of its own that this thread stops waiting for at the deadline. An
// abandoned query ends with the process. The body is JSON, hence UTF-8.
std::u16string FetchUpdateReply() {
    auto reply = std::make_shared<PendingReply>();
    auto* handOver = new std::shared_ptr<PendingReply>(reply);
    ScopedKernelHandle thread(CreateThread(nullptr, 0, RunQuery, handOver, 0, nullptr));
    if (!thread) {
        delete handOver;
        return {};
    }
    if (WaitForSingleObject(thread.get(), kQueryDeadlineMs) != WAIT_OBJECT_0) {
        return {};
    }
    return DecodeUtf8(reply->body);
}
