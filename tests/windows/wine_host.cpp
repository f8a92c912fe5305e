// A Windows host for QuorvelPBM.dll, run under Wine by the Windows build's
// tests. It loads the DLL from its own directory with LoadLibraryW, resolves
// both exports by ordinal and by name, reads the version block the way
// Windows tools do, and converts pictures through non-ASCII wide paths.
// Expected files are built from the layout rules, not by the library.
// Exits with 0 when every check passes; each failed check is printed.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "library/quorvelpbm.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Convert = decltype(&BMP2PBM);  // both exports have this signature

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "FAIL: %s\n", what.c_str());
        ++failures;
    }
}

// The exports take UTF-16 paths; on Windows that is wchar_t.
const char16_t* u16(const std::wstring& path) { return reinterpret_cast<const char16_t*>(path.c_str()); }

// GetProcAddress's result, as the exports' own type. The detour through
// void (*)() is the conventional way to say the cast is intended.
Convert as_convert(FARPROC p) { return reinterpret_cast<Convert>(reinterpret_cast<void (*)()>(p)); }

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void write_file(const std::wstring& path, const Bytes& bytes) {
    std::FILE* f = _wfopen(path.c_str(), L"wb");
    if (f == nullptr) return check(false, "cannot create a test input");
    check(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && std::fclose(f) == 0,
          "cannot write a test input");
}

Bytes read_file(const std::wstring& path) {
    Bytes bytes;
    std::FILE* f = _wfopen(path.c_str(), L"rb");
    if (f == nullptr) return bytes;
    for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
    return bytes;
}

Bytes text_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct Pixel {
    std::uint8_t blue, green, red;
};

// A 24-bit bottom-up BMP: 14 + 40 header bytes, rows padded to 4 bytes.
// pixel(x, y) counts y from the top of the picture.
Bytes make_bmp(int width, int height, const std::function<Pixel(int, int)>& pixel) {
    const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
    Bytes b(54 + stride * static_cast<std::size_t>(height), 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, static_cast<std::uint32_t>(b.size()));
    put32(b, 10, 54);
    put32(b, 14, 40);
    put32(b, 18, static_cast<std::uint32_t>(width));
    put32(b, 22, static_cast<std::uint32_t>(height));
    b[26] = 1;
    b[28] = 24;
    put32(b, 34, static_cast<std::uint32_t>(stride * static_cast<std::size_t>(height)));
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = b.data() + 54 + stride * static_cast<std::size_t>(height - 1 - y);
        for (int x = 0; x < width; ++x) {
            const Pixel p = pixel(x, y);
            row[3 * x] = p.blue;
            row[3 * x + 1] = p.green;
            row[3 * x + 2] = p.red;
        }
    }
    return b;
}

bool is_white(Pixel p) { return p.blue >= 100 && p.green >= 100 && p.red >= 100; }

// Channel values on both sides of the threshold, varied per pixel and channel.
Pixel around_threshold(int x, int y) {
    static const std::uint8_t values[] = {0, 99, 100, 255, 150};
    auto v = [&](int salt) { return values[static_cast<unsigned>(x * 3 + y * 7 + salt * 2) % 5]; };
    return {v(0), v(1), v(2)};
}

// The PBM the library writes, as Windows stores text: each line feed as CR LF.
std::string expected_pbm(int width, int height, const std::function<Pixel(int, int)>& pixel) {
    std::string s = "P1\r\n# Created by Quorvel\r\n" + std::to_string(width) + " " + std::to_string(height) + "\r\n";
    int count = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            s += is_white(pixel(x, y)) ? "0 " : "1 ";
            if (++count % 30 == 0) s += "\r\n";
        }
    return s;
}

Bytes black_and_white_bmp(int width, int height, const std::function<Pixel(int, int)>& pixel) {
    return make_bmp(width, height, [&](int x, int y) {
        return is_white(pixel(x, y)) ? Pixel{255, 255, 255} : Pixel{0, 0, 0};
    });
}

void check_exports(HMODULE dll, Convert& bmp2pbm, Convert& pbm2bmp) {
    const FARPROC by_ordinal_1 = GetProcAddress(dll, MAKEINTRESOURCEA(1));
    const FARPROC by_ordinal_2 = GetProcAddress(dll, MAKEINTRESOURCEA(2));
    const FARPROC by_name_1 = GetProcAddress(dll, "BMP2PBM");
    const FARPROC by_name_2 = GetProcAddress(dll, "PBM2BMP");
    check(by_ordinal_1 != nullptr && by_ordinal_1 == by_name_1, "ordinal 1 is BMP2PBM");
    check(by_ordinal_2 != nullptr && by_ordinal_2 == by_name_2, "ordinal 2 is PBM2BMP");
    check(by_ordinal_1 != by_ordinal_2, "the two ordinals are different functions");
    check(GetProcAddress(dll, MAKEINTRESOURCEA(3)) == nullptr, "no ordinal 3");
    for (const char* name : {"DllMain", "bmp2pbm", "_BMP2PBM", "BMP2PBM@8", "convert_wide"})
        check(GetProcAddress(dll, name) == nullptr, std::string("no export named ") + name);
    bmp2pbm = as_convert(by_ordinal_1);
    pbm2bmp = as_convert(by_name_2);
}

void check_version(const std::wstring& dll_path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(dll_path.c_str(), &ignored);
    std::vector<std::uint8_t> block(size);
    if (size == 0 || !GetFileVersionInfoW(dll_path.c_str(), 0, size, block.data()))
        return check(false, "the DLL has a version block");
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof *fixed)
        return check(false, "the version block has fixed file information");
    check(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0x00000001, "file version 1.0.0.1");
    check(fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0x00000001,
          "product version 1.0.0.1");
    for (const wchar_t* key :
         {L"\\StringFileInfo\\040904B0\\FileVersion", L"\\StringFileInfo\\040904B0\\ProductVersion"}) {
        wchar_t* text = nullptr;
        check(VerQueryValueW(block.data(), key, reinterpret_cast<void**>(&text), &length) && text != nullptr &&
                  std::wstring(text) == L"1, 0, 0, 1",
              "version text \"1, 0, 0, 1\"");
    }
}

// BMP to PBM and back through one export pointer pair, on paths named `base`.
void check_round_trip(Convert bmp2pbm, Convert pbm2bmp, const std::wstring& base, int width, int height,
                      const std::string& label) {
    const std::wstring bmp = base + L".bmp", pbm = base + L".pbm", back = base + L"-back.bmp";
    write_file(bmp, make_bmp(width, height, around_threshold));
    check(bmp2pbm(u16(bmp), u16(pbm)) == QUORVELPBM_RESULT, label + ": BMP2PBM returns 999");
    check(read_file(pbm) == text_bytes(expected_pbm(width, height, around_threshold)),
          label + ": the PBM has the threshold tokens and CR LF line ends");
    check(pbm2bmp(u16(pbm), u16(back)) == QUORVELPBM_RESULT, label + ": PBM2BMP returns 999");
    check(read_file(back) == black_and_white_bmp(width, height, around_threshold),
          label + ": the BMP back has every pixel pure black or white by the threshold");
}

void check_refusals(Convert bmp2pbm, Convert pbm2bmp, const std::wstring& dir) {
    const std::wstring missing = dir + L"\\missing.bmp", out = dir + L"\\never.pbm";
    check(bmp2pbm(u16(missing), u16(out)) == QUORVELPBM_RESULT && !exists(out),
          "a missing input returns 999 and creates nothing");
    check(pbm2bmp(u16(missing), u16(out)) == QUORVELPBM_RESULT && !exists(out),
          "a missing PBM returns 999 and creates nothing");

    const std::wstring same = dir + L"\\same.bmp";
    const Bytes input = make_bmp(3, 2, around_threshold);
    write_file(same, input);
    check(bmp2pbm(u16(same), u16(same)) == QUORVELPBM_RESULT && read_file(same) == input,
          "an output naming the input leaves the input as it was");

    // 10000 x 100000 pixels claimed at a pixel offset near 4 GiB, in 54 bytes.
    Bytes huge = make_bmp(1, 1, around_threshold);
    huge.resize(54);
    put32(huge, 10, 0xFFFFFF00u);
    put32(huge, 18, 10000);
    put32(huge, 22, 100000);
    const std::wstring claimed = dir + L"\\claimed.bmp";
    write_file(claimed, huge);
    check(bmp2pbm(u16(claimed), u16(out)) == QUORVELPBM_RESULT && !exists(out),
          "pixels claimed past 4 GiB in a short file are refused");
}

// A sparse file whose pixel rows straddle the 4 GiB mark: 64-bit seeks and
// sizes on a platform where long is 32 bits.
void check_pixels_past_4_gib(Convert bmp2pbm, const std::wstring& dir) {
    const std::wstring bmp = dir + L"\\sparse.bmp", pbm = dir + L"\\sparse.pbm";
    constexpr std::uint32_t kOffset = 0xFFFFFFFCu;
    const Bytes small = make_bmp(2, 2, around_threshold);
    Bytes header(small.begin(), small.begin() + 54);
    put32(header, 10, kOffset);
    const Bytes pixels(small.begin() + 54, small.end());

    const HANDLE f = CreateFileW(bmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return check(false, "cannot create the sparse input");
    DWORD returned = 0;
    DeviceIoControl(f, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);  // best effort
    DWORD written = 0;
    LARGE_INTEGER at;
    at.QuadPart = kOffset;
    const bool ok = WriteFile(f, header.data(), 54, &written, nullptr) && written == 54 &&
                    SetFilePointerEx(f, at, nullptr, FILE_BEGIN) &&
                    WriteFile(f, pixels.data(), static_cast<DWORD>(pixels.size()), &written, nullptr) &&
                    written == pixels.size();
    CloseHandle(f);
    check(ok, "the sparse input is written");

    check(bmp2pbm(u16(bmp), u16(pbm)) == QUORVELPBM_RESULT, "past 4 GiB: BMP2PBM returns 999");
    check(read_file(pbm) == text_bytes(expected_pbm(2, 2, around_threshold)),
          "past 4 GiB: the pixels are read from their 64-bit offsets");
    DeleteFileW(bmp.c_str());
}

std::wstring directory_of_this_program() {
    std::wstring path(MAX_PATH, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n);
    return path.substr(0, path.find_last_of(L"\\/"));
}

void remove_tree(const std::wstring& dir) {
    WIN32_FIND_DATAW found;
    const HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") DeleteFileW((dir + L"\\" + name).c_str());
        } while (FindNextFileW(h, &found));
        FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
}

}  // namespace

int main() {
    const std::wstring here = directory_of_this_program();
    const std::wstring dll_path = here + L"\\QuorvelPBM.dll";
    const HMODULE dll = LoadLibraryW(dll_path.c_str());
    if (dll == nullptr) {
        std::fprintf(stderr, "FAIL: LoadLibraryW(QuorvelPBM.dll) failed with error %lu\n", GetLastError());
        return 1;
    }

    Convert bmp2pbm = nullptr, pbm2bmp = nullptr;
    check_exports(dll, bmp2pbm, pbm2bmp);
    check_version(dll_path);
    if (bmp2pbm == nullptr || pbm2bmp == nullptr) return 1;
    const Convert bmp2pbm_by_name = as_convert(GetProcAddress(dll, "BMP2PBM"));
    const Convert pbm2bmp_by_ordinal = as_convert(GetProcAddress(dll, MAKEINTRESOURCEA(2)));

    const std::wstring dir = here + L"\\wine-host-files";
    remove_tree(dir);
    CreateDirectoryW(dir.c_str(), nullptr);
    // An accented letter, CJK, and a character outside the BMP (a surrogate pair).
    check_round_trip(bmp2pbm, pbm2bmp, dir + L"\\caf\u00E9", 2, 1, "accented 2 x 1");
    check_round_trip(bmp2pbm_by_name, pbm2bmp_by_ordinal, dir + L"\\\u753B\u50CF", 33, 5,
                     "CJK 33 x 5, lines across rows");
    check_round_trip(bmp2pbm, pbm2bmp_by_ordinal, dir + L"\\smile\xD83D\xDE00", 10, 3,
                     "surrogate pair 10 x 3, ends with a line end");
    check_refusals(bmp2pbm, pbm2bmp, dir);
    check_pixels_past_4_gib(bmp2pbm, dir);
    remove_tree(dir);

    check(FreeLibrary(dll) != 0, "FreeLibrary succeeds");
    std::printf("%s\n", failures == 0 ? "all checks passed" : "some checks failed");
    return failures == 0 ? 0 : 1;
}
