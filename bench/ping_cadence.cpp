// Cadence of a ping run of the real program against loopback: the main window on Qt's offscreen
// platform, its timer, Ping1 and the echo service, timed at each reply line. Prints one line per
// interval in milliseconds, then a summary; bench/ping_cadence.sh sets it beside the system ping.
#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/main_form.h"
#include "ui/qt/message_queue_qt.h"
#include "ui/qt/qt_application.h"

int main(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  const int replies = argc > 1 ? std::atoi(argv[1]) : 30;
  if (replies < 2 || replies > 120) return 2;  // bounded: one echo a second, to loopback only
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  kelvo::TQtApplication application(argc, argv);
  kelvo::AttachMessageQueueToQtLoop();
  kelvo::TForm1 form(application.Toolkit());
  form.Show();

  std::vector<Clock::time_point> lines;
  int failures = 0;
  const kelvo::TPingReply writeLine = form.Ping1->OnEchoReply;
  form.Ping1->OnEchoReply = [&](kelvo::TObject* sender, kelvo::TObject* icmp, int status) {
    writeLine(sender, icmp, status);
    lines.push_back(Clock::now());
    if (status == 0) ++failures;
    if (static_cast<int>(lines.size()) == replies) form.Button4->Click();  // "Стоп"
  };
  form.Button2->Click();  // "Пинг"
  form.HostEdit->SetText(u"127.0.0.1");
  form.Button3->Click();  // "Старт"
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(replies * 2 + 5);
  while (static_cast<int>(lines.size()) < replies && Clock::now() < deadline) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
  }
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::printf("%.3f\n", std::chrono::duration<double, std::milli>(lines[i] - lines[i - 1]).count());
  }
  std::fprintf(stderr, "%zu reply lines, %d failed echoes\n", lines.size(), failures);
  return static_cast<int>(lines.size()) == replies && failures == 0 ? 0 : 1;
}
