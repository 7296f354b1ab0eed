// The main window: the header with the logo, the link and the two panel switches, and the two
// content panels of which at most one shows.
#pragma once

#include <memory>

#include "ping/ping.h"
#include "ui/toolkit.h"

namespace kelvo {

class TForm1 : public TForm {
 public:
  // Throws when the ping component's echo engine cannot be made.
  explicit TForm1(TToolkit& toolkit);
  ~TForm1() override;

  // Each flag always equals the visibility of its panel.
  bool pingShown = false;
  bool vpnShown = false;

  TPanel* Panel2;
  TImage* Image1;
  TLabel* Label1;
  TButton* Button1;
  TButton* Button2;
  TPanel* Panel1;
  TLabel* Label4;
  TEdit* HostEdit;
  TMemo* DisplayMemo;
  TButton* Button3;
  TButton* Button4;
  TPanel* VPN;
  TLabel* Label2;
  TLabel* Label3;
  TEdit* Edit1;
  TEdit* Edit2;
  TButton* Button5;
  std::unique_ptr<TTimer> timer;
  std::unique_ptr<TPing> Ping1;

  void FormCreate(TObject* Sender);
  void FormResize(TObject* Sender);
  void Button1Click(TObject* Sender);
  void Button2Click(TObject* Sender);
  void Label1Click(TObject* Sender);
  void Label1MouseDown(TObject* Sender, TMouseButton Button, int X, int Y);
  void Label1MouseUp(TObject* Sender, TMouseButton Button, int X, int Y);
  void Button5Click(TObject* Sender);  // vpn/vpn_panel.cpp
  // The ping panel, ping/ping_panel.cpp.
  void Button3Click(TObject* Sender);
  void Button4Click(TObject* Sender);
  void Ping1DnsLookupDone(TObject* Sender, WORD Error);
  void timerTimer(TObject* Sender);
  void Ping1EchoRequest(TObject* Sender, TObject* Icmp);
  void Ping1EchoReply(TObject* Sender, TObject* Icmp, int Status);
  void Ping1Display(TObject* Sender, TObject* Icmp, const std::u16string& Msg);

 private:
  // The outer height the panel switches ask for; auto-size decides the real one.
  static constexpr int CollapsedHeight = 151;
  static constexpr int RequestedWidth = 408;
  static constexpr unsigned PingInterval = 1000;

  // What "Стоп" does, and "Пинг" when it hides the ping panel.
  void StopPingRun();
};

}  // namespace kelvo
