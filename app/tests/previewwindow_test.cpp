// "Process" with Shift held in the Qt window: the task runs as a preview,
// its boxes are answered as in a run, the preview dialog shows what it
// would change and its log lines, and neither a file under the base
// directory nor the log pane changes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include "apptestsupport.h"
#include "previewdialog.h"
#include "unit1.h"
#include "windowtestsupport.h"

namespace dbu {
namespace {

// Closes message boxes (recording them) until the preview dialog shows; act runs on it.
void OnPreviewDialog(std::vector<std::string>& boxes, std::function<void(TPreviewDialog*)> act) {
  OnNextBox([&boxes, act](QWidget* w) {
    if (auto* dialog = qobject_cast<TPreviewDialog*>(w)) {
      act(dialog);
      dialog->reject();
      return;
    }
    auto* box = qobject_cast<QMessageBox*>(w);
    boxes.push_back(box ? box->text().toStdString() : "not a message box");
    w->close();
    OnPreviewDialog(boxes, act);
  });
}

TEST(PreviewWindow, ShiftProcessShowsThePreviewAndChangesNeitherFilesNorThePane) {
  TempDir data;
  MakeDemo(data.Path());
  TForm1 w(data.Base());
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  w.SetCompanyText("A01");
  w.SetTaskIndex(14);
  w.AppendLogLine("a line of an earlier run");
  const auto before = FilesUnder(data.Path());
  std::vector<std::string> boxes;
  QString title, tab, log, logLines;
  int rows = -1;
  OnPreviewDialog(boxes, [&](TPreviewDialog* dialog) {
    title = dialog->windowTitle();
    tab = dialog->Tabs()->tabText(0);
    rows = dialog->TableView(0)->model()->rowCount();
    log = dialog->Tabs()->tabText(dialog->Tabs()->count() - 1);
    logLines = dialog->LogView()->toPlainText();
  });
  QTest::mouseClick(w.Button1, Qt::LeftButton, Qt::ShiftModifier);
  EXPECT_EQ(title.toStdString(), "Preview: A01, task 14 - " + TaskCaption(14));
  EXPECT_EQ(tab.toStdString(), "company/A01/LEAV_TRX.ADT  +0 ~2 -0");
  EXPECT_EQ(rows, 2);  // the year of each of the two records
  EXPECT_EQ(log, "Log");
  EXPECT_EQ(boxes, std::vector<std::string>{"Done!"});

  std::vector<std::string> changed;
  for (const std::string& name : ChangedFiles(before, data.Path()))
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".jrn") != 0) changed.push_back(name);
  EXPECT_EQ(changed, std::vector<std::string>{});

  // A preview's log lines go to its dialog, not to the pane that "Save Log" writes.
  w.Logic().Dispatcher().SetBody(33, [](TForm1Logic& form) {
    form.AddLogLine("line of the preview");
    return TTaskEnd::Normal;
  });
  w.SetTaskIndex(33);
  boxes.clear();
  OnPreviewDialog(boxes, [&](TPreviewDialog* dialog) { logLines = dialog->LogView()->toPlainText(); });
  QTest::mouseClick(w.Button1, Qt::LeftButton, Qt::ShiftModifier);
  EXPECT_EQ(boxes, std::vector<std::string>{"Done!"});
  EXPECT_EQ(logLines.toStdString(), "line of the preview");
  EXPECT_EQ(w.LogLines(), std::vector<std::string>{"a line of an earlier run"});
}

}  // namespace
}  // namespace dbu
