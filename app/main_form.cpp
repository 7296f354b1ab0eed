#include "app/main_form.h"

#include "app/form_definition.h"
#include "platform/shell.h"

namespace kelvo {

TForm1::TForm1(TToolkit& toolkit)
    : TForm(toolkit, MainFormDefinition()),
      Panel2(Find<TPanel>(u"Panel2")),
      Image1(Find<TImage>(u"Image1")),
      Label1(Find<TLabel>(u"Label1")),
      Button1(Find<TButton>(u"Button1")),
      Button2(Find<TButton>(u"Button2")),
      Panel1(Find<TPanel>(u"Panel1")),
      Label4(Find<TLabel>(u"Label4")),
      HostEdit(Find<TEdit>(u"HostEdit")),
      DisplayMemo(Find<TMemo>(u"DisplayMemo")),
      Button3(Find<TButton>(u"Button3")),
      Button4(Find<TButton>(u"Button4")),
      VPN(Find<TPanel>(u"VPN")),
      Label2(Find<TLabel>(u"Label2")),
      Label3(Find<TLabel>(u"Label3")),
      Edit1(Find<TEdit>(u"Edit1")),
      Edit2(Find<TEdit>(u"Edit2")),
      Button5(Find<TButton>(u"Button5")),
      timer(std::make_unique<TTimer>(*this, u"timer")),
      Ping1(std::make_unique<TPing>(nullptr)) {
  using namespace std::placeholders;
  OnResize = std::bind(&TForm1::FormResize, this, _1);
  Button1->OnClick = std::bind(&TForm1::Button1Click, this, _1);
  Button2->OnClick = std::bind(&TForm1::Button2Click, this, _1);
  Label1->OnClick = std::bind(&TForm1::Label1Click, this, _1);
  Label1->OnMouseDown = std::bind(&TForm1::Label1MouseDown, this, _1, _2, _3, _4);
  Label1->OnMouseUp = std::bind(&TForm1::Label1MouseUp, this, _1, _2, _3, _4);
  Button5->OnClick = std::bind(&TForm1::Button5Click, this, _1);
  Button3->OnClick = std::bind(&TForm1::Button3Click, this, _1);
  Button4->OnClick = std::bind(&TForm1::Button4Click, this, _1);
  timer->SetEnabled(false);
  timer->SetInterval(PingInterval);
  timer->OnTimer = std::bind(&TForm1::timerTimer, this, _1);
  Ping1->SetName(u"Ping1");
  Ping1->SetSize(32);
  Ping1->SetTimeout(1000);
  Ping1->SetTTL(64);
  Ping1->SetFlags(0);
  Ping1->OnDisplay = std::bind(&TForm1::Ping1Display, this, _1, _2, _3);
  Ping1->OnEchoRequest = std::bind(&TForm1::Ping1EchoRequest, this, _1, _2);
  Ping1->OnEchoReply = std::bind(&TForm1::Ping1EchoReply, this, _1, _2, _3);
  Ping1->OnDnsLookupDone = std::bind(&TForm1::Ping1DnsLookupDone, this, _1, _2);
  FormCreate(this);
}

TForm1::~TForm1() {
  // First of all: destroying Ping1 reports a pending lookup to Ping1DnsLookupDone, which
  // writes to the output and so needs the controls still there.
  Ping1.reset();
}

void TForm1::FormCreate(TObject*) {
  pingShown = false;
  vpnShown = false;
  Label1->SetFontColor(clBlue);
}

void TForm1::FormResize(TObject*) { RequestSize(RequestedWidth, CollapsedHeight); }

void TForm1::Button1Click(TObject*) {
  if (vpnShown) {
    VPN->SetVisible(false);
    vpnShown = false;
    Panel1->SetVisible(false);
  } else {
    VPN->SetVisible(true);
    vpnShown = true;
    Panel1->SetVisible(false);
    pingShown = false;
  }
  RequestHeight(CollapsedHeight);
}

void TForm1::Button2Click(TObject*) {
  if (pingShown) {
    Panel1->SetVisible(false);
    pingShown = false;
    // The panel is closed before the stop: should the cancellation be refused, the window is
    // left as it stands and the run goes on unseen until the panel is shown again.
    StopPingRun();
    VPN->SetVisible(false);
  } else {
    Panel1->SetVisible(true);
    pingShown = true;
    VPN->SetVisible(false);
    vpnShown = false;
  }
  RequestHeight(CollapsedHeight);
}

void TForm1::Label1Click(TObject*) {
  // With its scheme: the shell would look for a file of that name first.
  const std::u16string address = u"http://" + std::u16string(kWebAddress) + u"/";
  ShellExecuteW(Handle(), u"open", address.c_str(), nullptr, nullptr, SW_SHOW);
}

void TForm1::Label1MouseDown(TObject*, TMouseButton, int, int) { Label1->SetFontColor(clRed); }

void TForm1::Label1MouseUp(TObject*, TMouseButton, int, int) { Label1->SetFontColor(clPurple); }

}  // namespace kelvo
