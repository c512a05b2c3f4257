// Excel 97-2003 workbook (.xls): one worksheet in BIFF8, in a compound document.
//
// XlsWriter collects rows of cells (numbers stay numbers, texts go to the shared string table) and
// builds the file: the workbook globals (fonts, cell formats, the sheet's entry, the shared strings with
// their continuation records), the sheet (dimensions, cells, window), and around it the compound
// document (header, FAT with its DIFAT, directory with the "Workbook" stream). A sheet holds at most
// 65536 rows and 256 columns and a text at most 32767 characters; longer texts are cut, rows or columns
// past the limit make Save fail with XlsStatus::TooLarge (nothing is written).
//
// ExportGridToExcel writes the active view of a grid: a header row of the visible columns' captions,
// then every row that the view's filter passes, groups expanded (a group row with its caption before its
// records). Values are the stored ones, not display texts. It throws ExportError on failure, as the
// program expects of the platform's export.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace lw::widgets {

class Grid;
class TableView;

struct XlsCell {
  enum class Kind { Empty, Number, Text };
  Kind Type = Kind::Empty;
  double Number = 0;
  QString Text;
  static XlsCell number(double v) { return {Kind::Number, v, {}}; }
  static XlsCell text(const QString& t) { return {Kind::Text, 0, t}; }
};

enum class XlsStatus { Ok, TooLarge, WriteFailed };

class XlsWriter {
 public:
  static constexpr int kMaxRows = 65536;
  static constexpr int kMaxColumns = 256;
  static constexpr int kMaxTextLength = 32767;

  explicit XlsWriter(QString SheetName = QStringLiteral("Sheet1")) : sheetName_(std::move(SheetName)) {}
  // Bold marks a header row.
  void AddRow(std::vector<XlsCell> Cells, bool Bold = false);
  XlsStatus Build(QByteArray& Out) const;
  XlsStatus Save(const QString& FileName) const;

 private:
  struct Row {
    std::vector<XlsCell> Cells;
    bool Bold;
  };
  std::vector<Row> rows_;
  QString sheetName_;
};

class ExportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Fills a writer from a view as described above.
void FillXlsFromView(const TableView& View, XlsWriter& Writer);
// FileExt is appended when the name has no extension.
void ExportGridToExcel(const QString& FileName, Grid* Source, bool Expand = true, bool SaveAll = true,
                       bool UseNativeFormat = true, const QString& FileExt = QStringLiteral("xls"));

}  // namespace lw::widgets
