// The native window under Wine: on a screen of another resolution (told it moved to one of 192
// dots per inch, or opened on one, every control, its font and the logo double, and the client
// area is the auto-size result there; Wine's screen has 96), and from the keyboard, each key
// handed to the dialog keyboard as the program's message loop hands it.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/main_form.h"
#include "platform/module.h"
#include "ui/win32/win32_toolkit.h"

namespace kelvo {
namespace {

struct Search {
  const wchar_t* text;
  HWND found;
};

BOOL CALLBACK FindByText(HWND window, LPARAM search) {
  auto* wanted = reinterpret_cast<Search*>(search);
  wchar_t text[64];
  GetWindowTextW(window, text, 64);
  if (wcscmp(text, wanted->text) != 0) return TRUE;
  wanted->found = window;
  return FALSE;
}

HWND Control(HWND window, const wchar_t* text) {
  Search search{text, nullptr};
  EnumChildWindows(window, &FindByText, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::pair<LONG, LONG> ClientSize(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  return {client.right, client.bottom};
}

// The picture of the one image control among the window's controls.
std::pair<LONG, LONG> PictureSize(HWND window) {
  BITMAP picture{};
  for (HWND control = GetWindow(GetWindow(window, GW_CHILD), GW_CHILD); control != nullptr;
       control = GetWindow(control, GW_HWNDNEXT)) {
    if (const auto bitmap = reinterpret_cast<HBITMAP>(SendMessageW(control, STM_GETIMAGE, IMAGE_BITMAP, 0))) {
      GetObjectW(bitmap, sizeof picture, &picture);
    }
  }
  return {picture.bmWidth, picture.bmHeight};
}

LONG FontHeight(HWND control) {
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font, &font);
  return font.lfHeight;
}

// Every control, its font and the logo at twice the definition's sizes.
void ExpectLaidOutAt192Dpi(HWND window) {
  const HWND button = Control(window, L"Пинг");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(ClientSize(window), (std::pair<LONG, LONG>(784, 242)));
  RECT place;
  GetWindowRect(button, &place);
  MapWindowPoints(nullptr, GetParent(button), reinterpret_cast<POINT*>(&place), 2);
  EXPECT_EQ(place.left, 502);
  EXPECT_EQ(place.top, 146);
  EXPECT_EQ(place.right - place.left, 276);
  EXPECT_EQ(place.bottom - place.top, 66);
  EXPECT_EQ(FontHeight(button), -26);
  EXPECT_EQ(PictureSize(window), (std::pair<LONG, LONG>(474, 220)));
}

TEST(Win32Window, FollowsTheScreensResolution) {
  TWin32Toolkit toolkit(GetModuleHandleW(nullptr));
  TForm1 form(toolkit);
  const HWND window = form.Handle();
  ASSERT_EQ(ClientSize(window), (std::pair<LONG, LONG>(392, 121))) << "Wine's screen has 96 dots per inch";
  EXPECT_EQ(PictureSize(window), (std::pair<LONG, LONG>(237, 110)));

  RECT suggested{40, 30, 900, 500};
  SendMessageW(window, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(192, 192), reinterpret_cast<LPARAM>(&suggested));
  ExpectLaidOutAt192Dpi(window);
  RECT frame;
  GetWindowRect(window, &frame);
  EXPECT_EQ(frame.left, 40);
  EXPECT_EQ(frame.top, 30);
}

// Opened on a screen of 192 dots per inch while the system has 96: no change is reported, the
// window's own resolution is taken.
UINT WINAPI DpiOfA192DpiScreen(HWND) { return 192; }
TEST(Win32Window, TakesTheResolutionOfTheScreenItOpensOn) {
  ScopedOverride<ModuleApi> modules;
  modules->GetProcAddress = [&modules](HMODULE module, LPCSTR name) -> FARPROC {
    return std::string_view(name) == "GetDpiForWindow" ? ToFarProc(&DpiOfA192DpiScreen)
                                                       : modules.Original().GetProcAddress(module, name);
  };
  TWin32Toolkit toolkit(GetModuleHandleW(nullptr));
  TForm1 form(toolkit);
  ExpectLaidOutAt192Dpi(form.Handle());
}

class Win32Keyboard : public ::testing::Test {
 protected:
  Win32Keyboard() {
    // Edits named by their text (the output by a line a case adds): the focused window's text
    // names it.
    form.HostEdit->SetText(u"HostEdit");
    form.Edit1->SetText(u"Edit1");
    form.Edit2->SetText(u"Edit2");
    form.Show();
  }

  static std::wstring Focused() {
    wchar_t text[64] = L"";
    GetWindowTextW(GetFocus(), text, 64);
    return text;
  }
  void Press(WPARAM key, bool shift = false) {
    BYTE state[256];
    GetKeyboardState(state);
    state[VK_SHIFT] = shift ? 0x80 : 0;
    SetKeyboardState(state);
    MSG message{GetFocus(), WM_KEYDOWN, key, 0, 0, {}};
    if (!IsDialogMessageW(form.Handle(), &message)) DispatchMessageW(&message);
    state[VK_SHIFT] = 0;
    SetKeyboardState(state);
  }
  std::vector<std::wstring> TabCycle() {
    std::vector<std::wstring> visited;
    const std::wstring start = Focused();
    do {
      Press(VK_TAB);
      visited.push_back(Focused());
    } while (visited.back() != start && visited.size() < 20);
    return visited;
  }

  TWin32Toolkit toolkit{GetModuleHandleW(nullptr)};
  TForm1 form{toolkit};
};

using Names = std::vector<std::wstring>;

TEST_F(Win32Keyboard, TabAndShiftTabFollowReadingOrderPastTheOutputAndSkipHiddenPanels) {
  EXPECT_EQ(Focused(), L"Создать Соединение");
  EXPECT_EQ(TabCycle(), (Names{L"Пинг", L"Создать Соединение"}));

  form.Button2->Click();
  form.DisplayMemo->Lines().Add(u"DisplayMemo");
  EXPECT_EQ(TabCycle(),
            (Names{L"Пинг", L"HostEdit", L"Старт", L"Стоп", L"DisplayMemo", L"Создать Соединение"}));
  EXPECT_EQ(form.DisplayMemo->Text(), u"DisplayMemo") << "Tab typed into the output";
  Press(VK_TAB, true);
  EXPECT_EQ(Focused(), L"DisplayMemo");
  Press(VK_TAB, true);
  EXPECT_EQ(Focused(), L"Стоп");
  Press(VK_TAB);
  Press(VK_TAB);
  ASSERT_EQ(Focused(), L"Создать Соединение");

  form.Button1->Click();
  EXPECT_EQ(TabCycle(), (Names{L"Пинг", L"Edit1", L"Edit2", L"Создать", L"Создать Соединение"}));
  Press(VK_TAB);
  Press(VK_TAB);
  ASSERT_EQ(Focused(), L"Edit1");
  form.VPN->SetVisible(false);
  EXPECT_EQ(Focused(), L"Создать Соединение");
}

// A line goes after what the user typed, on a line of its own.
TEST_F(Win32Keyboard, OutputLineGoesAfterWhatIsTyped) {
  form.Button2->Click();
  Press(VK_TAB, true);  // from "Создать Соединение" back to the output
  const HWND output = GetFocus();
  ASSERT_EQ(Focused(), L"");
  for (const wchar_t letter : std::wstring(L"typed")) SendMessageW(output, WM_CHAR, letter, 0);
  form.DisplayMemo->Lines().Add(u"next");
  EXPECT_EQ(Focused(), L"typed\r\nnext");
}

}  // namespace
}  // namespace kelvo
