#include "capture.h"

#include "common/settings.h"

namespace lmvntest {
namespace {

std::mutex gLock;
std::vector<CapturedBox> gBoxes;
std::vector<CapturedBroadcast> gBroadcasts;

int WINAPI FakeMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
    std::lock_guard guard(gLock);
    gBoxes.push_back({text ? text : L"", caption ? caption : L"", style, owner});
    return IDOK;
}

BOOL WINAPI FakeNotify(HWND target, UINT message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard guard(gLock);
    gBroadcasts.push_back({target, message, wParam, lParam});
    return TRUE;
}

}  // namespace

ReportCapture::ReportCapture()
    : box_(&lmvn::Win32Api::MessageBoxW, &FakeMessageBox),
      notify_(&lmvn::Win32Api::SendNotifyMessageW, &FakeNotify),
      savedLogEnabled_(lmvn::LogEnabled),
      savedMessageMode_(lmvn::MessageMode),
      savedNotifyId_(lmvn::NotifyMessageId) {
    std::lock_guard guard(gLock);
    gBoxes.clear();
    gBroadcasts.clear();
}

ReportCapture::~ReportCapture() {
    lmvn::LogEnabled = savedLogEnabled_;
    lmvn::MessageMode = savedMessageMode_;
    lmvn::NotifyMessageId = savedNotifyId_;
}

std::vector<CapturedBox> ReportCapture::Boxes() const {
    std::lock_guard guard(gLock);
    return gBoxes;
}

std::vector<CapturedBroadcast> ReportCapture::Broadcasts() const {
    std::lock_guard guard(gLock);
    return gBroadcasts;
}

}  // namespace lmvntest
