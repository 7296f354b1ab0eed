// The baseline of the start-up benchmark: the least a Qt Widgets program does to show a window
// of the main window's size with a label and a button on it.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QWidget window;
  window.setWindowTitle("Minimal");
  auto* layout = new QVBoxLayout(&window);
  layout->addWidget(new QLabel("Minimal"));
  layout->addWidget(new QPushButton("OK"));
  window.resize(392, 121);  // the header the main window starts with
  window.show();
  return application.exec();
}
