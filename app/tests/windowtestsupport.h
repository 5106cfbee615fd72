// Helpers of the tests that drive the Qt window: acting on the modal box
// that a click opens, and recording the boxes shown.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

namespace dbu {

// Acts on the next modal box as soon as it is shown.
inline void OnNextBox(std::function<void(QWidget*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      timer->stop();
      timer->deleteLater();
      act(box);
    }
  });
  timer->start();
}

// Closes the next boxes and records their titles and texts.
struct BoxRecorder {
  std::vector<std::string> Seen;
  void Expect(int count) {
    for (int i = 0; i < count; ++i) Next();
  }
  void Next() {
    OnNextBox([this](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      Seen.push_back(box ? (box->windowTitle() + " | " + box->text()).toStdString() : "not a message box");
      w->close();
    });
  }
};

}  // namespace dbu
