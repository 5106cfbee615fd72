// The window as it starts on a desktop whose locale writes numbers with a
// decimal comma (de_DE.UTF-8): its own program entry, since Qt takes the
// locale from the environment once, when the application object is made.
// A run through "Process" must store, filter, select and log numbers as
// written; dates take the desktop's separator.
#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>
#include <cstdlib>
#include <string>

#include "apptestsupport.h"
#include "commalocale.h"
#include "formatsettings.h"
#include "unit1.h"
#include "windowtestsupport.h"

namespace dbu {
namespace {

TEST(CommaLocaleWindow, StartUpTakesTheDesktopLocaleButNotItsNumbers) {
  const char* time = std::setlocale(LC_TIME, nullptr);
  ASSERT_STREQ(time, test::kCommaLocale) << "the locale is missing; tools/deps.sh makes it (dbu_ensure_test_locale)";
  EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
}

TEST(CommaLocaleWindow, RunStoresFiltersSelectsAndLogsNumbersAsWritten) {
  TempDir data;
  MakeDemo(data.Path());
  TForm1 w(data.Base());
  w.Logic().Dispatcher().SetBody(33, [](TForm1Logic& form) {
    TDbQuery& q = form.DbQuery1;
    q.SQL().SetText("CREATE TABLE AMOUNTS (N NUMERIC(6,2), F DOUBLE)");
    q.ExecSQL();
    q.SQL().SetText("INSERT INTO AMOUNTS (N, F) VALUES (12.95, 12.95)");
    q.ExecSQL();
    TDbTable& t = form.MEDSCH;
    t.Close();
    t.SetTableName("AMOUNTS");
    t.Open();
    t.Append();
    t.FieldByName("N").SetAsFloat(12.5);
    t.FieldByName("F").SetAsString("12.5");
    t.Post();
    std::string all;
    for (t.First(); !t.Eof(); t.Next())
      all += " " + t.FieldByName("N").AsString() + "/" + t.FieldByName("F").AsString();
    form.AddLogLine("stored:" + all);
    t.SetFilter("N < 12.9");
    t.SetFiltered(true);
    form.AddLogLine("filter N < 12.9: " + t.FieldByName("N").AsString());
    t.SetFiltered(false);
    t.Close();
    q.SQL().SetText("SELECT N FROM AMOUNTS WHERE N > 12.9");
    q.Open();
    form.AddLogLine("SQL N > 12.9: " + q.FieldByName("N").AsString());
    q.Close();
    form.AddLogLine("date " + DateToStr(EncodeDate(2005, 5, 24)));
    return TTaskEnd::Normal;
  });
  w.SetTaskIndex(33);
  BoxRecorder boxes;
  boxes.Expect(1);
  w.Button1->click();
  EXPECT_EQ(boxes.Seen, std::vector<std::string>{ApplicationTitle().toStdString() + " | Done!"});
  EXPECT_EQ(w.LogLines(), (std::vector<std::string>{"stored: 12.95/12.95 12.5/12.5", "filter N < 12.9: 12.5",
                                                    "SQL N > 12.9: 12.95", "date 24.05.2005"}));
}

}  // namespace
}  // namespace dbu

int main(int argc, char** argv) {
  setenv("LC_ALL", dbu::test::kCommaLocale, 1);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  dbu::PrepareApplication(application);  // as the program's entry does
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
