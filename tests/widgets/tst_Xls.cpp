// The .xls writer, read back cell for cell by xlrd (python3-xlrd) and opened by LibreOffice when it is
// installed; and the export of a grid view.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "platform/widgets/Grid.h"
#include "platform/widgets/XlsExport.h"

using namespace lw::widgets;

namespace {

// Reads a file back with xlrd: rows of cells, each ["n", number], ["s", text] or ["e", null].
QJsonObject readBack(const QString& path) {
  QProcess p;
  p.start(QStringLiteral(LW_PYTHON3), {QStringLiteral(LW_XLS_READER), path});
  if (!p.waitForFinished(120000)) return {{"error", "xlrd timed out"}};
  if (p.exitCode() == 2) return {{"skip", true}};
  if (p.exitCode() != 0) return {{"error", QString::fromUtf8(p.readAllStandardError())}};
  return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

QJsonArray cellJson(const XlsCell& c) {
  switch (c.Type) {
    case XlsCell::Kind::Number: return {"n", c.Number};
    case XlsCell::Kind::Text: return {"s", c.Text};
    default: return {"e", QJsonValue()};
  }
}

#define READ_BACK(var, path)                                               \
  const QJsonObject var = readBack(path);                                  \
  if (var.contains("skip")) QSKIP("python3-xlrd is not installed");       \
  QVERIFY2(!var.contains("error"), qPrintable(var.value("error").toString()))

void compareRows(const QJsonArray& got, const std::vector<std::vector<XlsCell>>& want) {
  QCOMPARE(got.size(), static_cast<qsizetype>(want.size()));
  size_t width = 0;
  for (const auto& r : want) width = std::max(width, r.size());
  for (size_t r = 0; r < want.size(); ++r) {
    const QJsonArray row = got[static_cast<qsizetype>(r)].toArray();
    QCOMPARE(row.size(), static_cast<qsizetype>(width));
    for (size_t c = 0; c < width; ++c) {
      const QJsonArray expected = c < want[r].size() ? cellJson(want[r][c]) : QJsonArray{"e", QJsonValue()};
      if (row[static_cast<qsizetype>(c)].toArray() != expected)
        QFAIL(qPrintable(QStringLiteral("row %1 col %2: got %3, want %4")
                             .arg(r)
                             .arg(c)
                             .arg(QString::fromUtf8(QJsonDocument(row[static_cast<qsizetype>(c)].toArray()).toJson(QJsonDocument::Compact)).left(80),
                                  QString::fromUtf8(QJsonDocument(expected).toJson(QJsonDocument::Compact)).left(80))));
    }
  }
}

}  // namespace

class TestXls : public QObject {
  Q_OBJECT
 private slots:
  void cellsReadBack_data() {
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("textLength");
    QTest::newRow("small") << 5 << 10;
    // The shared strings run over many continuation records, strings split inside their characters.
    QTest::newRow("continuations") << 3000 << 37;
    // Long texts, cut at 32767 characters; the file needs more FAT sectors than the header holds.
    QTest::newRow("difat") << 260 << 40000;
  }
  void cellsReadBack() {
    QFETCH(int, rows);
    QFETCH(int, textLength);
    QTemporaryDir dir;
    std::vector<std::vector<XlsCell>> want;
    XlsWriter w;
    want.push_back({XlsCell::text("Seq"), XlsCell::text("Time"), XlsCell::text("Message"), XlsCell::text("Ratio")});
    w.AddRow(want.back(), true);
    for (int r = 0; r < rows; ++r) {
      QString msg = QStringLiteral("%1 \u00e4\u20ac\u65e5 ").arg(r);
      while (msg.size() < textLength) msg += QStringLiteral("x%1").arg(r % 10);
      std::vector<XlsCell> row{XlsCell::number(r + 1), XlsCell::text(QStringLiteral("11-12-2026 10:%1").arg(r % 60)),
                               XlsCell::text(msg), r % 4 == 0 ? XlsCell() : XlsCell::number(-r / 8.0)};
      w.AddRow(row);
      row[2].Text = row[2].Text.left(XlsWriter::kMaxTextLength);
      want.push_back(row);
    }
    const QString path = dir.filePath(QStringLiteral("t\u00e9st.xls"));
    QCOMPARE(w.Save(path), XlsStatus::Ok);
    READ_BACK(got, path);
    QCOMPARE(got.value("sheets").toInt(), 1);
    compareRows(got.value("rows").toArray(), want);
  }

  void limitsAndFailures() {
    XlsWriter w;
    for (int r = 0; r <= XlsWriter::kMaxRows; ++r) w.AddRow({XlsCell::number(r)});
    QByteArray out;
    QCOMPARE(w.Build(out), XlsStatus::TooLarge);
    XlsWriter wide;
    wide.AddRow(std::vector<XlsCell>(257, XlsCell::number(1)));
    QCOMPARE(wide.Build(out), XlsStatus::TooLarge);
    XlsWriter ok;
    ok.AddRow({XlsCell::text("a")});
    QCOMPARE(ok.Save(QStringLiteral("/nonexistent-folder/x.xls")), XlsStatus::WriteFailed);
    // An empty sheet is still a valid file.
    QTemporaryDir dir;
    QCOMPARE(XlsWriter().Save(dir.filePath("empty.xls")), XlsStatus::Ok);
    READ_BACK(got, dir.filePath("empty.xls"));
    QCOMPARE(got.value("rows").toArray().size(), 0);
  }

  void exportOfAGroupedFilteredView() {
    TableView view;
    const char* caps[] = {"Seq", "Level", "File", "Message"};
    const ValueType types[] = {ValueType::Int64, ValueType::Integer, ValueType::Text, ValueType::Text};
    for (int i = 0; i < 4; ++i) {
      GridColumn* c = view.CreateColumn();
      c->SetCaption(caps[i]);
      c->SetDataType(types[i]);
    }
    view.Columns(2)->OnGetDataText = [](const TableView&, int, QString& t) { t = t.section('\\', -1); };
    view.Columns(0)->SetVisible(false);
    DataController& dc = view.Controller();
    dc.BeginUpdate();
    for (int s = 1; s <= 6; ++s) {
      const int r = dc.AppendRecord();
      dc.SetValue(r, 0, qint64(s));
      dc.SetValue(r, 1, s % 2 ? 4 : 8);
      dc.SetValue(r, 2, QStringLiteral("D:\\src\\u%1.src").arg(s));
      dc.SetValue(r, 3, s == 3 ? QStringLiteral("skip") : QStringLiteral("m%1").arg(s));
    }
    dc.EndUpdate();
    dc.Filter().AddItem(3, foNotLike, QStringLiteral("skip"), QStringLiteral("skip"));
    dc.Filter().SetActive(true);
    dc.ChangeGrouping(1, 0);  // collapsed in the view; the export expands every group
    Grid grid;
    grid.AddLevel(&view);
    QTemporaryDir dir;
    const QString path = dir.filePath("export");
    ExportGridToExcel(path, &grid, true, true, true, "xls");
    READ_BACK(got, path + ".xls");
    using C = XlsCell;
    compareRows(got.value("rows").toArray(),
                {{C::text("Level"), C::text("File"), C::text("Message")},
                 {C::text("Level : 4 (2 records)")},
                 {C::number(4), C::text("D:\\src\\u1.src"), C::text("m1")},
                 {C::number(4), C::text("D:\\src\\u5.src"), C::text("m5")},
                 {C::text("Level : 8 (3 records)")},
                 {C::number(8), C::text("D:\\src\\u2.src"), C::text("m2")},
                 {C::number(8), C::text("D:\\src\\u4.src"), C::text("m4")},
                 {C::number(8), C::text("D:\\src\\u6.src"), C::text("m6")}});
    QVERIFY_THROWS_EXCEPTION(ExportError, ExportGridToExcel("/nonexistent-folder/x.xls", &grid));
  }

  void libreOfficeOpensTheFile() {
    const QString lo = QStandardPaths::findExecutable(QStringLiteral("libreoffice"));
    if (lo.isEmpty()) QSKIP("LibreOffice is not installed");
    QTemporaryDir dir;
    XlsWriter w;
    w.AddRow({XlsCell::text("Seq"), XlsCell::text("Message")}, true);
    w.AddRow({XlsCell::number(1), XlsCell::text("first, with comma")});
    w.AddRow({XlsCell::number(2.5), XlsCell::text(QStringLiteral("\u00e4\u00f6\u00fc"))});
    QCOMPARE(w.Save(dir.filePath("lo.xls")), XlsStatus::Ok);
    QProcess p;
    p.setWorkingDirectory(dir.path());
    QStringList env = QProcess::systemEnvironment();
    env << QStringLiteral("HOME=") + dir.path();
    p.setEnvironment(env);
    p.start(lo, {"--headless", "--norestore", "-env:UserInstallation=file://" + dir.path() + "/lo-profile",
                 "--convert-to", "csv:Text - txt - csv (StarCalc):44,34,76", "--outdir", dir.path(), dir.filePath("lo.xls")});
    QVERIFY(p.waitForFinished(180000));
    QFile csv(dir.filePath("lo.csv"));
    QVERIFY2(csv.open(QIODevice::ReadOnly), qPrintable(QString::fromUtf8(p.readAllStandardError())));
    const QString text = QString::fromUtf8(csv.readAll());
    QCOMPARE(text.trimmed().split('\n').size(), 3);
    QVERIFY(text.contains(QStringLiteral("1,\"first, with comma\"")));
    QVERIFY(text.contains(QStringLiteral("2.5,\u00e4\u00f6\u00fc")));
  }
};

QTEST_MAIN(TestXls)
#include "tst_Xls.moc"
