// Makes the test prefix trust the session's own certificate authority, the
// way an administrator would install a company root:
//
//   e2e_trust --der HEX   (HEX: the DER file's path, hex of its UTF-16 code units)
#include "common/win32.h"

#include "common/scoped_win.h"
#include "tests/e2e/helpers/helper_io.h"

#include <wincrypt.h>

#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    std::u16string path;
    if (!HexArgumentValue(argc, argv, u"--der", &path)) {
        PrintUtf8("usage: e2e_trust --der HEX\n");
        return 2;
    }
    std::vector<BYTE> der;
    {
        ScopedKernelHandle file(CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size{};
        if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > (1 << 20)) {
            PrintUtf8("{\"added\":false,\"error\":\"cannot read the certificate\"}\n");
            return 1;
        }
        der.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        if (!ReadFile(file.get(), der.data(), static_cast<DWORD>(der.size()), &read, nullptr) ||
            read != der.size()) {
            PrintUtf8("{\"added\":false,\"error\":\"cannot read the certificate\"}\n");
            return 1;
        }
    }
    const BOOL added = CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(),
                                                               static_cast<DWORD>(der.size()));
    const DWORD error = added ? 0 : GetLastError();
    PrintUtf8(std::string("{\"added\":") + (added ? "true" : "false") +
              ",\"last_error\":" + std::to_string(error) + "}\n");
    return added ? 0 : 1;
}
