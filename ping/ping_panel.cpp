// The ping panel's handlers: "Старт" resolves the host once, then the timer sends one echo a
// second and every answer or failure becomes one line of the output.
#include <string>

#include "app/main_form.h"
#include "platform/text.h"

namespace kelvo {

void TForm1::Button3Click(TObject*) {
  DisplayMemo->Lines().Clear();
  DisplayMemo->Lines().Add(u"Обмен с: '" + HostEdit->Text() + u"'");
  // A running timer goes on pinging the previous address until this lookup succeeds.
  Ping1->DnsLookup(HostEdit->Text());
}

void TForm1::Button4Click(TObject*) { StopPingRun(); }

void TForm1::StopPingRun() {
  // A pending lookup completes here with an error, which writes its line.
  Ping1->CancelDnsLookup();
  timer->SetEnabled(false);
}

void TForm1::Ping1DnsLookupDone(TObject*, WORD Error) {
  if (Error != 0) {
    DisplayMemo->Lines().Add(u"неизвестный хост '" + HostEdit->Text() + u"'");
    return;
  }
  DisplayMemo->Lines().Add(u"хост '" + HostEdit->Text() + u"' адрес " + Ping1->DnsResult());
  Ping1->SetAddress(Ping1->DnsResult());
  // Neither assignment disturbs a timer still running from an earlier run.
  timer->SetEnabled(true);
  timer->SetInterval(PingInterval);
}

void TForm1::timerTimer(TObject*) { Ping1->Ping(); }

void TForm1::Ping1EchoRequest(TObject*, TObject*) {}

void TForm1::Ping1EchoReply(TObject*, TObject*, int Status) {
  if (Status == 0) {
    DisplayMemo->Lines().Add(u"Пинг невозможен: " + Ping1->ErrorText());
    return;
  }
  const ICMP_ECHO_REPLY reply = Ping1->Reply();
  // A counted reply can still be a router's word that the host is out of reach.
  if (reply.Status != IP_SUCCESS) {
    DisplayMemo->Lines().Add(u"Пинг невозможен: " + IcmpStatusText(reply.Status));
    return;
  }
  DisplayMemo->Lines().Add(u"Ответ от: " + Ping1->ResolvedIP() + u"     байт= " + DecimalText(reply.DataSize) +
                           u"       ВРЕМЯ:  " + DecimalText(reply.RoundTripTime) + u"  мсек");
}

void TForm1::Ping1Display(TObject*, TObject*, const std::u16string& Msg) { DisplayMemo->Lines().Add(Msg); }

}  // namespace kelvo
