// The VPN panel's one handler: the login and password become a phone-book entry.
#include "app/main_form.h"
#include "vpn/vpn_entry.h"

namespace kelvo {

namespace {

constexpr char16_t kEntryName[] = u"Kelvo";
constexpr char16_t kServerAddress[] = u"10.1.0.10";

}  // namespace

void TForm1::Button5Click(TObject*) {
  try {
    // Exactly as typed: spaces and case are the subscriber's.
    const std::u16string login = Edit1->Text();
    if (login.empty()) return;
    const std::u16string password = Edit2->Text();
    if (password.empty()) return;
    if (CreateVpnEntry(kEntryName, kServerAddress, login, password) != 0) {
      ShowMessage(Toolkit(), u"Не удалось создать соединения");
      return;
    }
    ShowMessage(Toolkit(), u"Соединение создано");
    VPN->SetVisible(false);
    vpnShown = false;
    RequestHeight(CollapsedHeight);
  } catch (...) {
    ShowMessage(Toolkit(), u"Не удалось создать соединения");
  }
}

}  // namespace kelvo
