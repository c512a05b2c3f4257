#include "platform/widgets/XlsExport.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>
#include <QHash>
#include <cstring>
#include <functional>
#include <map>

#include "platform/widgets/Grid.h"
#include "platform/widgets/TableView.h"

namespace lw::widgets {

namespace {

// Little-endian byte buffer.
class Bytes {
 public:
  void u8(uint32_t v) { b_.push_back(static_cast<char>(v & 0xFF)); }
  void u16(uint32_t v) {
    u8(v);
    u8(v >> 8);
  }
  void u32(uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  }
  void f64(double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, 8);
    u32(static_cast<uint32_t>(bits));
    u32(static_cast<uint32_t>(bits >> 32));
  }
  void raw(const QByteArray& a) { b_.append(a); }
  void utf16(const QString& s) {
    for (QChar c : s) u16(c.unicode());
  }
  void zeros(qsizetype n) { b_.append(QByteArray(n, '\0')); }
  qsizetype size() const { return b_.size(); }
  QByteArray& data() { return b_; }
  void patch32(qsizetype at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b_[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  }

 private:
  QByteArray b_;
};

constexpr qsizetype kMaxRecordData = 8224;

void record(Bytes& out, uint16_t type, const QByteArray& body) {
  out.u16(type);
  out.u16(static_cast<uint16_t>(body.size()));
  out.raw(body);
}

QByteArray body(const std::function<void(Bytes&)>& fill) {
  Bytes b;
  fill(b);
  return b.data();
}

// A BIFF8 unicode string with an 8-bit length, uncompressed (UTF-16LE): sheet and font names.
void unicodeString8(Bytes& b, const QString& s) {
  b.u8(static_cast<uint32_t>(s.size()));
  b.u8(0x01);
  b.utf16(s);
}

void font(Bytes& out, bool bold) {
  record(out, 0x0031, body([&](Bytes& b) {
           b.u16(200);  // height in twips (10 pt)
           b.u16(0);    // attributes
           b.u16(0x7FFF);  // colour: window text
           b.u16(bold ? 700 : 400);
           b.u16(0);  // escapement
           b.u8(0);   // underline
           b.u8(0);   // family
           b.u8(0);   // charset
           b.u8(0);
           unicodeString8(b, QStringLiteral("Arial"));
         }));
}

void xf(Bytes& out, uint16_t fontIndex, bool style) {
  record(out, 0x00E0, body([&](Bytes& b) {
           b.u16(fontIndex);
           b.u16(0);  // number format: General
           // Type and protection: locked; style XFs have bit 2 and parent 0xFFF.
           b.u16(style ? 0xFFF5 : 0x0001);
           b.u8(0x20);  // alignment: general, bottom
           b.u8(0);     // rotation
           b.u8(0);     // indent etc.
           b.u8(style ? 0x00 : 0xF8);  // used attributes (cell XFs own all groups)
           b.u32(0);  // borders
           b.u32(0);
           b.u16(0x20C0);  // pattern colours: default foreground 64, background 65
         }));
}

// The shared string table, split into SST and CONTINUE records at the 8224-byte limit. A string's
// header never splits; its characters may, and then the continuation starts with the option byte.
void sst(Bytes& out, const std::vector<QString>& strings, uint32_t totalRefs) {
  std::vector<QByteArray> recs;
  QByteArray cur;
  {
    Bytes h;
    h.u32(totalRefs);
    h.u32(static_cast<uint32_t>(strings.size()));
    cur = h.data();
  }
  auto flush = [&] {
    recs.push_back(cur);
    cur.clear();
  };
  for (const QString& s : strings) {
    if (cur.size() + 3 + 2 > kMaxRecordData) flush();  // header and at least one character
    Bytes h;
    h.u16(static_cast<uint32_t>(s.size()));
    h.u8(0x01);
    cur.append(h.data());
    qsizetype pos = 0;
    while (pos < s.size()) {
      const qsizetype room = (kMaxRecordData - cur.size()) / 2;
      if (room <= 0) {
        flush();
        cur.append('\x01');  // option byte of the continued characters
        continue;
      }
      const qsizetype n = std::min(room, s.size() - pos);
      Bytes c;
      c.utf16(s.mid(pos, n));
      cur.append(c.data());
      pos += n;
    }
  }
  flush();
  for (size_t i = 0; i < recs.size(); ++i) record(out, i == 0 ? 0x00FC : 0x003C, recs[i]);
}

// The compound document around one stream named "Workbook".
QByteArray compoundDocument(QByteArray stream) {
  constexpr uint32_t kSector = 512;
  constexpr uint32_t kFree = 0xFFFFFFFF, kEnd = 0xFFFFFFFE, kFat = 0xFFFFFFFD, kDif = 0xFFFFFFFC;
  // Streams below the mini-stream cutoff would go to the mini stream; pad instead, as other writers do.
  if (stream.size() < 4096) stream.append(QByteArray(4096 - stream.size(), '\0'));
  const uint32_t streamSectors = static_cast<uint32_t>((stream.size() + kSector - 1) / kSector);
  const uint32_t dirSectors = 1;
  uint32_t fatSectors = 1, difSectors = 0;
  for (;;) {
    const uint32_t total = streamSectors + dirSectors + fatSectors + difSectors;
    const uint32_t needFat = (total + 127) / 128;
    const uint32_t needDif = needFat > 109 ? (needFat - 109 + 126) / 127 : 0;
    if (needFat == fatSectors && needDif == difSectors) break;
    fatSectors = needFat;
    difSectors = needDif;
  }
  const uint32_t dirStart = streamSectors;
  const uint32_t fatStart = dirStart + dirSectors;
  const uint32_t difStart = fatStart + fatSectors;
  const uint32_t total = difStart + difSectors;

  std::vector<uint32_t> fat(static_cast<size_t>(fatSectors) * 128, kFree);
  for (uint32_t i = 0; i < streamSectors; ++i) fat[i] = i + 1 < streamSectors ? i + 1 : kEnd;
  fat[dirStart] = kEnd;
  for (uint32_t i = 0; i < fatSectors; ++i) fat[fatStart + i] = kFat;
  for (uint32_t i = 0; i < difSectors; ++i) fat[difStart + i] = kDif;

  Bytes out;
  // Header.
  out.raw(QByteArray::fromHex("D0CF11E0A1B11AE1"));
  out.zeros(16);  // CLSID
  out.u16(0x003E);
  out.u16(0x0003);
  out.u16(0xFFFE);
  out.u16(9);  // sector shift
  out.u16(6);  // mini sector shift
  out.zeros(6);
  out.u32(0);  // directory sectors (version 3: 0)
  out.u32(fatSectors);
  out.u32(dirStart);
  out.u32(0);  // transaction
  out.u32(4096);
  out.u32(kEnd);  // mini FAT start
  out.u32(0);
  out.u32(difSectors ? difStart : kEnd);
  out.u32(difSectors);
  for (uint32_t i = 0; i < 109; ++i) out.u32(i < fatSectors ? fatStart + i : kFree);
  // Stream.
  out.raw(stream);
  out.zeros(static_cast<qsizetype>(streamSectors) * kSector - stream.size());
  // Directory: root entry, the stream, two unused entries.
  auto dirEntry = [&](const QString& name, uint8_t type, uint32_t child, uint32_t start, uint32_t size) {
    Bytes e;
    e.utf16(name);
    e.u16(0);
    e.zeros(64 - e.size());
    out.raw(e.data());
    out.u16(name.isEmpty() ? 0 : static_cast<uint32_t>((name.size() + 1) * 2));
    out.u8(type);
    out.u8(1);  // black
    out.u32(kFree);  // left sibling
    out.u32(kFree);  // right sibling
    out.u32(child);
    out.zeros(16);  // CLSID
    out.u32(0);     // state bits
    out.zeros(16);  // times
    out.u32(start);
    out.u32(size);
    out.u32(0);
  };
  dirEntry(QStringLiteral("Root Entry"), 5, 1, kEnd, 0);
  dirEntry(QStringLiteral("Workbook"), 2, kFree, 0, static_cast<uint32_t>(stream.size()));
  dirEntry(QString(), 0, kFree, 0, 0);
  dirEntry(QString(), 0, kFree, 0, 0);
  // FAT.
  for (uint32_t v : fat) out.u32(v);
  // DIFAT sectors: 127 FAT sector numbers and the next DIFAT sector each.
  for (uint32_t d = 0; d < difSectors; ++d) {
    for (uint32_t i = 0; i < 127; ++i) {
      const uint32_t n = 109 + d * 127 + i;
      out.u32(n < fatSectors ? fatStart + n : kFree);
    }
    out.u32(d + 1 < difSectors ? difStart + d + 1 : kEnd);
  }
  Q_ASSERT(out.size() == static_cast<qsizetype>(total + 1) * kSector);
  return out.data();
}

}  // namespace

void XlsWriter::AddRow(std::vector<XlsCell> Cells, bool Bold) { rows_.push_back({std::move(Cells), Bold}); }

XlsStatus XlsWriter::Build(QByteArray& Out) const {
  if (rows_.size() > static_cast<size_t>(kMaxRows)) return XlsStatus::TooLarge;
  size_t cols = 0;
  for (const auto& r : rows_) cols = std::max(cols, r.Cells.size());
  if (cols > static_cast<size_t>(kMaxColumns)) return XlsStatus::TooLarge;

  // Shared strings.
  std::vector<QString> strings;
  QHash<QString, uint32_t> index;
  uint32_t refs = 0;
  for (const auto& r : rows_)
    for (const auto& c : r.Cells)
      if (c.Type == XlsCell::Kind::Text) {
        ++refs;
        const QString t = c.Text.left(kMaxTextLength);
        if (!index.contains(t)) {
          index.insert(t, static_cast<uint32_t>(strings.size()));
          strings.push_back(t);
        }
      }

  Bytes wb;
  auto bof = [&](uint16_t type) {
    record(wb, 0x0809, body([&](Bytes& b) {
             b.u16(0x0600);
             b.u16(type);
             b.u16(0x0DBB);  // build
             b.u16(0x07CC);  // year
             b.u32(0x00000041);
             b.u32(0x00000006);
           }));
  };
  bof(0x0005);
  record(wb, 0x0042, body([](Bytes& b) { b.u16(1200); }));  // CODEPAGE: UTF-16
  record(wb, 0x003D, body([](Bytes& b) {                    // WINDOW1
           b.u16(0);
           b.u16(0);
           b.u16(0x4000);
           b.u16(0x2000);
           b.u16(0x0038);
           b.u16(0);
           b.u16(0);
           b.u16(1);
           b.u16(0x0258);
         }));
  record(wb, 0x0022, body([](Bytes& b) { b.u16(0); }));  // DATEMODE: 1900
  // Fonts 0-3 and 5 (index 4 does not exist in BIFF); 5 is bold.
  for (int i = 0; i < 4; ++i) font(wb, false);
  font(wb, true);
  for (int i = 0; i < 15; ++i) xf(wb, 0, true);
  xf(wb, 0, false);  // 15: normal cell
  xf(wb, 5, false);  // 16: header cell, bold
  record(wb, 0x0293, body([](Bytes& b) {  // STYLE "Normal", built-in
           b.u16(0x8000);
           b.u8(0);
           b.u8(0xFF);
         }));
  const qsizetype boundSheetAt = wb.size();
  record(wb, 0x0085, body([&](Bytes& b) {
           b.u32(0);  // patched: offset of the sheet's BOF
           b.u8(0);   // visible
           b.u8(0);   // worksheet
           unicodeString8(b, sheetName_.left(31));
         }));
  sst(wb, strings, refs);
  record(wb, 0x000A, {});  // EOF

  const qsizetype sheetAt = wb.size();
  wb.patch32(boundSheetAt + 4, static_cast<uint32_t>(sheetAt));
  bof(0x0010);
  record(wb, 0x0200, body([&](Bytes& b) {  // DIMENSIONS
           b.u32(0);
           b.u32(static_cast<uint32_t>(rows_.size()));
           b.u16(0);
           b.u16(static_cast<uint32_t>(cols));
           b.u16(0);
         }));
  for (size_t r = 0; r < rows_.size(); ++r) {
    const uint16_t xfIndex = rows_[r].Bold ? 16 : 15;
    for (size_t c = 0; c < rows_[r].Cells.size(); ++c) {
      const XlsCell& cell = rows_[r].Cells[c];
      if (cell.Type == XlsCell::Kind::Number) {
        record(wb, 0x0203, body([&](Bytes& b) {
                 b.u16(static_cast<uint32_t>(r));
                 b.u16(static_cast<uint32_t>(c));
                 b.u16(xfIndex);
                 b.f64(cell.Number);
               }));
      } else if (cell.Type == XlsCell::Kind::Text) {
        record(wb, 0x00FD, body([&](Bytes& b) {
                 b.u16(static_cast<uint32_t>(r));
                 b.u16(static_cast<uint32_t>(c));
                 b.u16(xfIndex);
                 b.u32(index.value(cell.Text.left(kMaxTextLength)));
               }));
      }
    }
  }
  record(wb, 0x023E, body([](Bytes& b) {  // WINDOW2
           b.u16(0x06B6);
           b.u16(0);
           b.u16(0);
           b.u16(0x40);
           b.u16(0);
           b.u16(0);
           b.u16(0);
           b.u16(0);
           b.u16(0);
         }));
  record(wb, 0x000A, {});
  Out = compoundDocument(wb.data());
  return XlsStatus::Ok;
}

XlsStatus XlsWriter::Save(const QString& FileName) const {
  QByteArray bytes;
  const XlsStatus s = Build(bytes);
  if (s != XlsStatus::Ok) return s;
  QSaveFile f(FileName);
  if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit()) return XlsStatus::WriteFailed;
  return XlsStatus::Ok;
}

namespace {
XlsCell cellOf(const QVariant& v, ValueType type) {
  if (!v.isValid() || v.isNull()) return {};
  if (type != ValueType::Text) {
    bool ok = false;
    const double d = v.toDouble(&ok);
    if (ok) return XlsCell::number(d);
  }
  return XlsCell::text(v.toString());
}
}  // namespace

void FillXlsFromView(const TableView& View, XlsWriter& Writer) {
  std::vector<int> items;
  for (int i = 0; i < View.ColumnCount(); ++i)
    if (View.Columns(i)->Visible()) items.push_back(i);
  std::vector<XlsCell> header;
  for (int i : items) header.push_back(XlsCell::text(View.Columns(i)->Caption()));
  Writer.AddRow(std::move(header), true);
  const DataController& c = View.Controller();
  auto addRecord = [&](uint64_t key) {
    const int rec = c.RecordIndexOfKey(key);
    std::vector<XlsCell> row;
    for (int i : items) row.push_back(cellOf(c.Values(rec, i), View.Columns(i)->DataType()));
    Writer.AddRow(std::move(row));
  };
  if (c.IsGrouped()) {
    for (int g = 0; g < c.GroupCount(); ++g) {
      Writer.AddRow({XlsCell::text(c.GroupRowCaption(g))});
      for (uint64_t k : c.Group(g).Keys) addRecord(k);
    }
  } else {
    for (uint64_t k : c.ShownKeys()) addRecord(k);
  }
}

void ExportGridToExcel(const QString& FileName, Grid* Source, bool /*Expand*/, bool /*SaveAll*/,
                       bool /*UseNativeFormat*/, const QString& FileExt) {
  // Groups are always expanded and every row is written: the only form this program asks for.
  if (!Source || !Source->ActiveView()) throw ExportError("No view to export");
  QString name = FileName;
  if (QFileInfo(name).suffix().isEmpty() && !FileExt.isEmpty()) name += QLatin1Char('.') + FileExt;
  XlsWriter w;
  FillXlsFromView(*Source->ActiveView(), w);
  switch (w.Save(name)) {
    case XlsStatus::Ok: return;
    case XlsStatus::TooLarge: throw ExportError("Too many rows or columns for an Excel 97-2003 sheet");
    case XlsStatus::WriteFailed: throw ExportError(("Cannot write file " + name).toStdString());
  }
}

}  // namespace lw::widgets
