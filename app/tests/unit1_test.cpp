// The Qt window under the offscreen platform: controls, texts, places, tab
// order, the company drop-down, the dialogs, and runs started by clicks.
#include "unit1.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QScreen>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <functional>

#include "apptestsupport.h"
#include "engine.h"
#include "undo.h"
#include "windowtestsupport.h"

namespace dbu {
namespace {

// The test program's application object (tests/testmain.cpp).
QApplication& App() { return *static_cast<QApplication*>(QCoreApplication::instance()); }

struct WindowFixture : ::testing::Test {
  TempDir data;
  void SetUp() override {
    App();
    MakeDemo(data.Path());
  }
};

TEST_F(WindowFixture, ControlsStandAtTheirPlacesWithTheirTexts) {
  TForm1 w(data.Base());
  EXPECT_EQ(w.windowTitle(), "Database Utility - 38 Tasks");
  struct Expected {
    QWidget* control;
    const char* name;
    QRect rect;
  };
  const std::vector<Expected> expected = {
      {w.Label1, "Label1", {0, 14, 72, 13}},         {w.DBLookupCombo1, "DBLookupCombo1", {120, 8, 121, 21}},
      {w.Button1, "Button1", {352, 10, 75, 25}},     {w.Label3, "Label3", {0, 48, 115, 13}},
      {w.ComboBox1, "ComboBox1", {120, 45, 305, 21}}, {w.Label2, "Label2", {10, 88, 58, 13}},
      {w.RichEdit1, "RichEdit1", {8, 104, 417, 361}}, {w.Button2, "Button2", {352, 472, 75, 25}},
  };
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  EXPECT_EQ(w.frameGeometry().size(), QSize(446, 533));
  const QPoint centre = w.screen()->availableGeometry().center();
  EXPECT_LE((w.frameGeometry().center() - centre).manhattanLength(), 2);
  w.resize(700, 650);  // resizable; the controls keep their places
  QApplication::processEvents();
  EXPECT_EQ(w.size(), QSize(700, 650));
  for (const Expected& e : expected) {
    EXPECT_EQ(e.control->objectName(), e.name);
    EXPECT_EQ(e.control->geometry(), e.rect) << e.name;
  }
  EXPECT_EQ(w.Label1->text(), "Company Code");
  EXPECT_EQ(w.Label3->text(), "Select a task to execute");
  EXPECT_EQ(w.Label2->text(), "Log Content");
  EXPECT_EQ(w.Button1->text(), "Process");
  EXPECT_EQ(w.Button2->text(), "Save Log");
  EXPECT_EQ(w.font().family(), "MS Sans Serif");
  EXPECT_EQ(w.font().pixelSize(), 11);
  EXPECT_EQ(w.RichEdit1->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(w.RichEdit1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(w.RichEdit1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_FALSE(w.RichEdit1->isReadOnly());
}

TEST_F(WindowFixture, TaskListHoldsThe38CaptionsAndFirstIsSelected) {
  TForm1 w(data.Base());
  EXPECT_FALSE(w.ComboBox1->isEditable());
  ASSERT_EQ(w.ComboBox1->count(), 38);
  for (int i = 0; i < 38; ++i) EXPECT_EQ(w.ComboBox1->itemText(i).toStdString(), TaskCaption(i));
  EXPECT_EQ(w.ComboBox1->itemText(0), "Clean not used claim setup data");
  EXPECT_EQ(w.ComboBox1->itemText(13), "Remove the duplicate leave ( CHILDCARE on 24/05/2005 ) for employee S0319");
  EXPECT_EQ(w.ComboBox1->itemText(27), "Add the new field called TPAYSLIP for customise mail payslip.");
  EXPECT_EQ(w.ComboBox1->currentIndex(), 0);
  EXPECT_EQ(w.TaskIndex(), 0);
  QStyleOptionViewItem option;
  EXPECT_EQ(w.ComboBox1->itemDelegate()->sizeHint(option, w.ComboBox1->model()->index(3, 0)).height(), 13);
}

TEST_F(WindowFixture, TabOrderAndInitialFocus) {
  TForm1 w(data.Base());
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  w.activateWindow();
  QApplication::processEvents();
  EXPECT_EQ(w.focusWidget(), w.Button1);
  std::vector<QWidget*> order;
  QWidget* next = w.Button1;
  for (int i = 0; i < 5; ++i) {
    order.push_back(next);
    do next = next->nextInFocusChain();
    while (next->focusPolicy() == Qt::NoFocus || !next->isVisibleTo(&w) || next->parentWidget() != &w);
  }
  EXPECT_EQ(order, (std::vector<QWidget*>{w.Button1, w.ComboBox1, w.DBLookupCombo1, w.Button2, w.RichEdit1}));
  EXPECT_EQ(next, w.Button1);
  EXPECT_EQ(w.Label1->focusPolicy(), Qt::NoFocus);
}

TEST_F(WindowFixture, CompanyDropDownIsAGridAndKeepsTypedText) {
  TForm1 w(data.Base());
  TCompanyLookupCombo* combo = w.DBLookupCombo1;
  EXPECT_TRUE(combo->isEditable());
  EXPECT_EQ(w.CompanyText(), "A01");
  auto* grid = qobject_cast<QTableView*>(combo->view());
  ASSERT_NE(grid, nullptr);
  QAbstractItemModel* model = combo->model();
  ASSERT_EQ(model->rowCount(), 3);
  EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), "COMPANY CODE");
  EXPECT_EQ(model->headerData(1, Qt::Horizontal).toString(), "COMPANY NAME");
  EXPECT_EQ(model->index(2, 1).data().toString(), "Corvale Logistics");
  EXPECT_FALSE(model->flags(model->index(0, 0)) & Qt::ItemIsEditable);
  EXPECT_GT(grid->columnWidth(1), grid->columnWidth(0));  // 40 characters against 8
  // Picking a row puts its code in the edit box.
  combo->setCurrentIndex(1);
  EXPECT_EQ(w.CompanyText(), "B02");
  // Typing is kept as typed, known company or not, also when focus leaves.
  combo->lineEdit()->selectAll();
  QTest::keyClicks(combo->lineEdit(), "zz9");
  EXPECT_EQ(w.CompanyText(), "zz9");
  w.Button1->setFocus();
  QApplication::processEvents();
  EXPECT_EQ(w.CompanyText(), "zz9");
  EXPECT_EQ(model->rowCount(), 3);
  w.SetCompanyText("C03");
  EXPECT_EQ(combo->lineEdit()->text(), "C03");
}

TEST_F(WindowFixture, CompanyGridColumnsShowTheirTitlesAndValuesWhole) {
  TForm1 w(data.Base());
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  TCompanyLookupCombo* combo = w.DBLookupCombo1;
  // A company whose name is longer than the rest.
  w.SetCompanyRows({{"A01", "Arden Engineering Sdn Bhd"}, {"LONGCODE", std::string(40, 'W')}});
  static_cast<QComboBox*>(combo)->showPopup();
  auto* grid = qobject_cast<QTableView*>(combo->view());
  ASSERT_NE(grid, nullptr);
  QApplication::processEvents();
  const QFontMetrics header(grid->horizontalHeader()->font());
  const QFontMetrics cells(grid->font());
  QAbstractItemModel* model = combo->model();
  for (int column = 0; column < 2; ++column) {
    const QString title = model->headerData(column, Qt::Horizontal).toString();
    EXPECT_GE(grid->columnWidth(column), header.horizontalAdvance(title)) << title.toStdString();
    EXPECT_GE(grid->horizontalHeader()->sectionSize(column), grid->horizontalHeader()->sectionSizeHint(column))
        << title.toStdString() << ": the title is cut";
    EXPECT_GE(grid->columnWidth(column), static_cast<QAbstractItemView*>(grid)->sizeHintForColumn(column))
        << title.toStdString() << ": a value is cut";
    for (int row = 0; row < model->rowCount(); ++row) {
      const QString value = model->index(row, column).data().toString();
      EXPECT_GE(grid->columnWidth(column), cells.horizontalAdvance(value)) << value.toStdString();
    }
  }
  // The whole grid is shown without scrolling sideways.
  EXPECT_GE(grid->viewport()->width(), grid->horizontalHeader()->length());
  combo->hidePopup();
}

TEST_F(WindowFixture, DialogsHaveTheirTitlesIconsAndButtons) {
  App();
  auto confirm = MakeConfirmBox(nullptr, "Continue? ");
  EXPECT_EQ(confirm->windowTitle(), "Warning");
  EXPECT_EQ(confirm->icon(), QMessageBox::Warning);
  EXPECT_EQ(confirm->text(), "Continue? ");
  EXPECT_EQ(confirm->standardButtons(), QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(confirm->defaultButton(), confirm->button(QMessageBox::Yes));
  EXPECT_EQ(confirm->escapeButton(), confirm->button(QMessageBox::No));
  auto message = MakeMessageBox(nullptr, "Done!");
  EXPECT_EQ(message->windowTitle(), "app_tests");
  EXPECT_EQ(message->standardButtons(), QMessageBox::Ok);
  auto error = MakeErrorBox(nullptr, "Failed.");
  EXPECT_EQ(error->windowTitle(), "app_tests");
  EXPECT_EQ(error->icon(), QMessageBox::Critical);
  auto input = MakeInputBox(nullptr, "Release Account Locked", "Enter the employee no to release", "preset");
  EXPECT_EQ(input->windowTitle(), "Release Account Locked");
  EXPECT_EQ(input->labelText(), "Enter the employee no to release");
  EXPECT_EQ(input->textValue(), "preset");
}

TEST_F(WindowFixture, ConfirmAnswersYesOnlyForYes) {
  TForm1 w(data.Base());
  OnNextBox([](QWidget* box) { QTest::keyClick(box, Qt::Key_Escape); });
  EXPECT_FALSE(w.Confirm("Go on? "));
  OnNextBox([](QWidget* box) { box->close(); });
  EXPECT_FALSE(w.Confirm("Go on? "));
  OnNextBox([](QWidget* box) { QTest::keyClick(box, Qt::Key_Return); });  // the default button
  EXPECT_TRUE(w.Confirm("Go on? "));
  OnNextBox([](QWidget* box) { qobject_cast<QMessageBox*>(box)->button(QMessageBox::No)->click(); });
  EXPECT_FALSE(w.Confirm("Go on? "));
}

TEST_F(WindowFixture, InputBoxReturnsTextOnOkAndDefaultOnCancelAndInputQueryTellsThem) {
  TForm1 w(data.Base());
  OnNextBox([](QWidget* box) {
    auto* dialog = qobject_cast<QInputDialog*>(box);
    dialog->setTextValue("6623");
    dialog->accept();
  });
  EXPECT_EQ(w.InputBox("T", "P", "dflt"), "6623");
  OnNextBox([](QWidget* box) {
    auto* dialog = qobject_cast<QInputDialog*>(box);
    dialog->setTextValue("typed then cancelled");
    dialog->reject();
  });
  EXPECT_EQ(w.InputBox("T", "P", "dflt"), "dflt");

  // InputQuery tells the two apart: OK on the untouched box gives the
  // preset text, Escape and Cancel give false and leave the value alone.
  std::string value = "1800";
  OnNextBox([](QWidget* box) {
    EXPECT_EQ(qobject_cast<QInputDialog*>(box)->textValue(), "1800");
    qobject_cast<QInputDialog*>(box)->accept();
  });
  EXPECT_TRUE(w.InputQuery("T", "P", value));
  EXPECT_EQ(value, "1800");
  OnNextBox([](QWidget* box) {
    qobject_cast<QInputDialog*>(box)->setTextValue("C03");
    QTest::keyClick(box, Qt::Key_Escape);
  });
  EXPECT_FALSE(w.InputQuery("T", "P", value));
  EXPECT_EQ(value, "1800");
  OnNextBox([](QWidget* box) {
    qobject_cast<QInputDialog*>(box)->setTextValue("C03");
    qobject_cast<QInputDialog*>(box)->accept();
  });
  EXPECT_TRUE(w.InputQuery("T", "P", value));
  EXPECT_EQ(value, "C03");
}

TEST_F(WindowFixture, ProcessClickRunsTaskAndIgnoresClickDuringRun) {
  TForm1 w(data.Base());
  int bodies = 0;
  bool waitCursorSeen = false;
  w.Logic().Dispatcher().SetBody(33, [&](TForm1Logic& form) {
    ++bodies;
    QCursor* cursor = QApplication::overrideCursor();
    waitCursorSeen = cursor != nullptr && cursor->shape() == Qt::WaitCursor;
    form.AddLogLine("line of the run");
    QMetaObject::invokeMethod(w.Button1, "click", Qt::QueuedConnection);
    form.ProcessMessages();  // delivers the second click, which is ignored
    return TTaskEnd::Normal;
  });
  w.SetTaskIndex(33);
  BoxRecorder boxes;
  boxes.Expect(1);
  w.Button1->click();
  EXPECT_EQ(bodies, 1);
  EXPECT_TRUE(waitCursorSeen);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(boxes.Seen, std::vector<std::string>{"app_tests | Done!"});
  EXPECT_EQ(w.LogLines(), std::vector<std::string>{"line of the run"});
}

TEST_F(WindowFixture, ErrorDuringRunShowsErrorBoxAndRestoresPointer) {
  TForm1 w(data.Base());
  w.Logic().Dispatcher().SetBody(20, [](TForm1Logic& form) -> TTaskEnd {
    form.MEDSCH.SetTableName("NO_SUCH_TABLE");
    form.MEDSCH.Open();
    return TTaskEnd::Normal;
  });
  w.SetTaskIndex(20);
  BoxRecorder boxes;
  boxes.Expect(1);
  w.Button1->click();
  ASSERT_EQ(boxes.Seen.size(), 1u);
  EXPECT_EQ(boxes.Seen[0].rfind("app_tests | MEDSCH: ", 0), 0u) << boxes.Seen[0];
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(WindowFixture, TypedCompanyCodeOutsideTheCompanyFolderIsRefused) {
  TForm1 w(data.Base());
  bool ran = false;
  w.Logic().Dispatcher().SetBody(8, [&](TForm1Logic&) {
    ran = true;
    return TTaskEnd::Normal;
  });
  QLineEdit* edit = w.DBLookupCombo1->lineEdit();
  edit->selectAll();
  QTest::keyClicks(edit, "../../x");
  w.SetTaskIndex(8);
  BoxRecorder boxes;
  boxes.Expect(1);
  w.Button1->click();
  EXPECT_FALSE(ran);
  ASSERT_EQ(boxes.Seen.size(), 1u);
  EXPECT_EQ(boxes.Seen[0].rfind("app_tests | Company code \"../../x\" is refused: it holds a path separator", 0), 0u)
      << boxes.Seen[0];
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(WindowFixture, SaveLogWritesPaneIncludingTypedText) {
  TForm1 w(data.Base());
  w.AppendLogLine("Emp No: 1146  Name: Tan Mei Ling");
  w.RichEdit1->moveCursor(QTextCursor::End);
  w.RichEdit1->insertPlainText("\ntyped by hand");
  BoxRecorder boxes;
  boxes.Expect(1);
  w.Button2->click();
  EXPECT_EQ(ReadFile(data.Base() + "ZozuzEzi.log"), "Emp No: 1146  Name: Tan Mei Ling\r\ntyped by hand\r\n");
  EXPECT_EQ(boxes.Seen, std::vector<std::string>{"app_tests | Save to " + data.Base() + "ZozuzEzi.log !"});
}

TEST_F(WindowFixture, UndoLastRunNamesTheRunAndPutsItBackOnlyAfterYes) {
  TForm1 w(data.Base());
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  const auto before = CompanyData(data.Path());
  BoxRecorder none;
  none.Expect(1);
  QTest::keyClick(w.Button1, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(none.Seen, std::vector<std::string>{"app_tests | There is no run to undo."});

  w.SetCompanyText("A01");
  w.SetTaskIndex(14);
  BoxRecorder done;
  done.Expect(1);
  w.Button1->click();
  ASSERT_EQ(done.Seen, std::vector<std::string>{"app_tests | Done!"});
  const auto after = CompanyData(data.Path());
  ASSERT_FALSE(Differences(before, after).empty());
  const std::vector<TRunManifest> runs = ListRuns(BackupsFolder(data.Base()));
  ASSERT_EQ(runs.size(), 1u);
  const std::vector<std::string> logBefore = w.LogLines();

  // No: the question names the run, and nothing changes.
  std::string asked;
  OnNextBox([&](QWidget* box) {
    auto* question = qobject_cast<QMessageBox*>(box);
    asked = question->text().toStdString();
    question->button(QMessageBox::No)->click();
  });
  w.UndoRunAction->trigger();
  for (const std::string& part : {runs[0].Id, std::string("Company A01"), std::string("task 14"), TaskCaption(14),
                                  "Started " + runs[0].Started})
    EXPECT_NE(asked.find(part), std::string::npos) << part << " not in: " << asked;
  EXPECT_EQ(Differences(after, CompanyData(data.Path())), std::vector<std::string>{});
  EXPECT_EQ(w.LogLines(), logBefore);

  // Yes: every file as before the run; what was put back is shown and logged.
  std::string told;
  OnNextBox([&](QWidget* box) {
    qobject_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
    OnNextBox([&](QWidget* message) {
      told = qobject_cast<QMessageBox*>(message)->text().toStdString();
      message->close();
    });
  });
  w.UndoRunAction->trigger();
  EXPECT_NE(told.find("Put back company/A01/LEAV_TRX.ADT"), std::string::npos) << told;
  EXPECT_EQ(Differences(before, CompanyData(data.Path())), std::vector<std::string>{});
  const std::vector<std::string> logAfter = w.LogLines();
  ASSERT_GT(logAfter.size(), logBefore.size());
  EXPECT_EQ(logAfter[logBefore.size()], "Put back company/A01/LEAV_TRX.ADT");

  // The window runs on after its connections were let go; the new run is the next to undo.
  BoxRecorder again;
  again.Expect(1);
  w.Button1->click();
  EXPECT_EQ(again.Seen, std::vector<std::string>{"app_tests | Done!"});
  EXPECT_EQ(Differences(before, CompanyData(data.Path())), std::vector<std::string>{"company/A01/LEAV_TRX.ADT"});
  const std::vector<TRunManifest> later = ListRuns(BackupsFolder(data.Base()));
  ASSERT_EQ(later.size(), 2u);
  EXPECT_TRUE(later[0].Undone.empty());
  EXPECT_FALSE(later[1].Undone.empty());

  // A record added behind the run's back: undo refuses, naming the table, and changes nothing.
  // (The window's tables are let go first: closing its handle trims the
  // file's spare room, which the comparison below would count as a change.)
  w.Logic().DbConnection1.Disconnect();
  ASSERT_TRUE(AppendBlankRecord(data.Path() + "/company/A01", "LEAV_TRX.ADT"));
  const auto tampered = CompanyData(data.Path());
  const std::vector<std::string> logTampered = w.LogLines();
  BoxRecorder refused;
  OnNextBox([&](QWidget* box) {
    qobject_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
    refused.Next();
  });
  w.UndoRunAction->trigger();
  ASSERT_EQ(refused.Seen.size(), 1u);
  EXPECT_NE(refused.Seen[0].find("Table company/A01/LEAV_TRX.ADT changed after run"), std::string::npos)
      << refused.Seen[0];
  EXPECT_EQ(Differences(tampered, CompanyData(data.Path())), std::vector<std::string>{});
  EXPECT_EQ(w.LogLines(), logTampered);
}

TEST_F(WindowFixture, MissingCompanyListShowsErrorBoxAtStartUp) {
  TempDir empty;
  BoxRecorder boxes;
  boxes.Expect(1);
  TForm1 w(empty.Base());
  ASSERT_EQ(boxes.Seen.size(), 1u);
  EXPECT_EQ(boxes.Seen[0].rfind("app_tests | TblCompany: ", 0), 0u) << boxes.Seen[0];
  EXPECT_EQ(w.CompanyText(), "");
  EXPECT_EQ(w.TaskIndex(), -1);
  EXPECT_EQ(w.DBLookupCombo1->model()->rowCount(), 0);
}

}  // namespace
}  // namespace dbu
