// lmvndisp.exe: the sample converter stage.
//
//   lmvndisp.exe [--dpi N] JOBFILE
//
// Renders every EMF page that the job description file lists (section "EMF",
// "Count", "File0".."File<Count-1>") to a PNG image beside the page: the same
// path with ".png" in place of the page's extension. The image has the page's
// size as the EMF header records it (its frame, in 0.01 mm) at N dots per inch
// (96 unless --dpi says otherwise), on a white background.
//
// The page is played with GDI into a 32-bit bitmap and encoded with GDI+.
// Afterwards section "PNG" of the job description file lists the images
// written ("Count", "File0", ...), so that the client application finds them.
//
// Exit code: 0 when every page was converted, 1 when at least one was not (the
// others are still converted), 2 when the command line or the job description
// file is unusable. The agent starts this program without a console: errors
// are told by the exit code and by the missing images.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <string>
#include <vector>

#include "stage_args.h"

namespace {

constexpr int kDefaultDpi = 96;
constexpr int kMinDpi = 10;
constexpr int kMaxDpi = 1200;
// A page image is never larger than this in either direction, whatever the
// EMF header claims, so that a broken page cannot exhaust memory.
constexpr LONG kMaxPixels = 20000;

// The encoder of "image/png" among those GDI+ offers.
bool FindPngEncoder(CLSID& clsid) {
    UINT count = 0;
    UINT bytes = 0;
    if (Gdiplus::DllExports::GdipGetImageEncodersSize(&count, &bytes) != Gdiplus::Ok ||
        bytes == 0) {
        return false;
    }
    std::vector<BYTE> storage(bytes);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(storage.data());
    if (Gdiplus::DllExports::GdipGetImageEncoders(count, bytes, codecs) != Gdiplus::Ok) {
        return false;
    }
    for (UINT i = 0; i < count; ++i) {
        if (codecs[i].MimeType != nullptr && lstrcmpiW(codecs[i].MimeType, L"image/png") == 0) {
            clsid = codecs[i].Clsid;
            return true;
        }
    }
    return false;
}

// Plays one record of a page. A text record whose glyph advances are all 0
// would stack every glyph on the first; such advances (a metafile recorded
// against a device that had no metrics for its font) are dropped, so that the
// text is laid out with the font's own widths.
int CALLBACK PlayRecord(HDC dc, HANDLETABLE* handles, const ENHMETARECORD* record, int objects,
                        LPARAM) {
    if (record->iType == EMR_EXTTEXTOUTW && record->nSize >= sizeof(EMREXTTEXTOUTW)) {
        const auto* text = reinterpret_cast<const EMREXTTEXTOUTW*>(record);
        const DWORD chars = text->emrtext.nChars;
        const DWORD offDx = text->emrtext.offDx;
        if (chars > 1 && offDx != 0 && offDx <= record->nSize &&
            (record->nSize - offDx) / sizeof(INT) >= chars) {
            const auto* dx =
                reinterpret_cast<const INT*>(reinterpret_cast<const BYTE*>(record) + offDx);
            bool allZero = true;
            for (DWORD i = 0; i < chars && allZero; ++i) allZero = dx[i] == 0;
            if (allZero) {
                std::vector<BYTE> copy(reinterpret_cast<const BYTE*>(record),
                                       reinterpret_cast<const BYTE*>(record) + record->nSize);
                reinterpret_cast<EMREXTTEXTOUTW*>(copy.data())->emrtext.offDx = 0;
                PlayEnhMetaFileRecord(dc, handles,
                                      reinterpret_cast<const ENHMETARECORD*>(copy.data()),
                                      static_cast<UINT>(objects));
                return 1;
            }
        }
    }
    PlayEnhMetaFileRecord(dc, handles, record, static_cast<UINT>(objects));
    return 1;  // a record that fails does not stop the page
}

// Pixel size of a page: its frame (0.01 mm) at `dpi`; a page without a usable
// frame falls back to its bounds in device pixels.
bool PageSize(const ENHMETAHEADER& header, int dpi, LONG& width, LONG& height) {
    const LONG frameWidth = header.rclFrame.right - header.rclFrame.left;
    const LONG frameHeight = header.rclFrame.bottom - header.rclFrame.top;
    if (frameWidth > 0 && frameHeight > 0) {
        width = static_cast<LONG>((static_cast<long long>(frameWidth) * dpi + 1270) / 2540);
        height = static_cast<LONG>((static_cast<long long>(frameHeight) * dpi + 1270) / 2540);
    } else {
        width = header.rclBounds.right - header.rclBounds.left + 1;
        height = header.rclBounds.bottom - header.rclBounds.top + 1;
    }
    return width > 0 && height > 0 && width <= kMaxPixels && height <= kMaxPixels;
}

// Renders one EMF page to `pngPath`.
bool ConvertPage(const std::wstring& emfPath, const std::wstring& pngPath, int dpi,
                 const CLSID& pngEncoder) {
    HENHMETAFILE emf = GetEnhMetaFileW(emfPath.c_str());
    if (emf == nullptr) return false;
    ENHMETAHEADER header = {};
    LONG width = 0;
    LONG height = 0;
    bool ok = GetEnhMetaFileHeader(emf, sizeof(header), &header) != 0 &&
              PageSize(header, dpi, width, height);

    HDC dc = ok ? CreateCompatibleDC(nullptr) : nullptr;
    void* bits = nullptr;
    HBITMAP bitmap = nullptr;
    if (dc != nullptr) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;  // top-down rows
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    }
    ok = bitmap != nullptr && bits != nullptr;
    if (ok) {
        HGDIOBJ old = SelectObject(dc, bitmap);
        RECT area = {0, 0, width, height};
        FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        ok = EnumEnhMetaFile(dc, emf, &PlayRecord, nullptr, &area) != FALSE;
        GdiFlush();
        SelectObject(dc, old);
    }
    if (ok) {
        Gdiplus::GpBitmap* image = nullptr;
        ok = Gdiplus::DllExports::GdipCreateBitmapFromScan0(
                 width, height, width * 4, PixelFormat32bppRGB, static_cast<BYTE*>(bits), &image) ==
             Gdiplus::Ok;
        if (ok) {
            ok = Gdiplus::DllExports::GdipSaveImageToFile(image, pngPath.c_str(), &pngEncoder,
                                                          nullptr) == Gdiplus::Ok;
            Gdiplus::DllExports::GdipDisposeImage(image);
        }
    }
    if (bitmap != nullptr) DeleteObject(bitmap);
    if (dc != nullptr) DeleteDC(dc);
    DeleteEnhMetaFile(emf);
    if (!ok) DeleteFileW(pngPath.c_str());  // no half-written image is left
    return ok;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::wstring jobFile = lmvnstage::OwnArgumentTail();
    int dpi = kDefaultDpi;
    std::wstring dpiText;
    if (lmvnstage::TakeOption(jobFile, L"--dpi", dpiText)) {
        dpi = _wtoi(dpiText.c_str());
        if (dpi < kMinDpi || dpi > kMaxDpi) return 2;
    }
    if (jobFile.empty() || GetFileAttributesW(jobFile.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return 2;
    }

    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return 2;
    CLSID pngEncoder = {};
    if (!FindPngEncoder(pngEncoder)) {
        Gdiplus::GdiplusShutdown(token);
        return 2;
    }

    const std::vector<std::wstring> pages = lmvnstage::ReadEmfPages(jobFile);
    std::vector<std::wstring> written;
    for (const std::wstring& page : pages) {
        const std::wstring png = lmvnstage::PngPathFor(page);
        if (ConvertPage(page, png, dpi, pngEncoder)) written.push_back(png);
    }
    Gdiplus::GdiplusShutdown(token);

    // The list of images for the client application; an earlier list goes.
    WritePrivateProfileStringW(L"PNG", nullptr, nullptr, jobFile.c_str());
    WritePrivateProfileStringW(L"PNG", L"Count", std::to_wstring(written.size()).c_str(),
                               jobFile.c_str());
    for (size_t i = 0; i < written.size(); ++i) {
        WritePrivateProfileStringW(L"PNG", (L"File" + std::to_wstring(i)).c_str(),
                                   written[i].c_str(), jobFile.c_str());
    }
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, jobFile.c_str());  // flush
    return written.size() == pages.size() ? 0 : 1;
}
