// The two trace-level panels of the main window: the applications' DebugLevel values in the registry
// (pnlDebugLvl) and the suppliers registered with the control server (pnlDebugLvlEx).
#include <QVBoxLayout>
#include <array>

#include "platform/os/CodePage.h"
#include "server/SupplierRegistry.h"
#include "window/MessageDlgDontShowAgain.h"
#include "window/frmuMain.h"

using namespace lw::widgets;
using namespace lw::reg;

const char* const kRestartHintText = "Please restart selected application to apply new debug settings!";

namespace {

// Column items of the registry panel's view.
constexpr int kApplItem = 0, kValueItem = 1, kOriginItem = 2;
// Column items of the supplier panel's view.
constexpr int kSupplierItem = 0, kOriginLevelItem = 1, kCurrentLevelItem = 2, kProcessIdItem = 3,
              kSupplierIdItem = 4;

constexpr DWORD kNameBufferSize = 256;

QString fromAnsiText(const std::string& s) {
  const std::string utf8 = lw::os::AnsiToUtf8(s);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string toAnsiText(const QString& s) { return lw::os::Utf8ToAnsi(s.toUtf8().toStdString()); }

// The frame, title and button box that both panels share; the grid goes between title and box.
QFrame* createPanel(QWidget* Parent, const char* Name, QLabel*& Title, Grid*& G, QGroupBox*& Box) {
  auto* panel = new QFrame(Parent);
  panel->setObjectName(QString::fromLatin1(Name));
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel->setLineWidth(2);
  panel->setAutoFillBackground(true);
  panel->setGeometry(168, 30, 350, 250);
  auto* layout = new QVBoxLayout(panel);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->setSpacing(0);
  Title = new QLabel(QStringLiteral("Trace level settings"), panel);
  Title->setAlignment(Qt::AlignCenter);
  Title->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Title->setFixedHeight(17);
  layout->addWidget(Title);
  G = new Grid(panel);
  layout->addWidget(G, 1);
  Box = new QGroupBox(panel);
  Box->setFixedHeight(39);
  layout->addWidget(Box);
  panel->hide();
  return panel;
}

QPushButton* boxButton(QGroupBox* Box, const char* Caption, int Left, int Width) {
  auto* b = new QPushButton(QString::fromLatin1(Caption), Box);
  b->setGeometry(Left, 12, Width, 20);
  return b;
}

GridColumn* addColumn(TableView& View, const char* Name, const char* Caption, ValueType Type) {
  GridColumn* c = View.CreateColumn();
  c->Name = QString::fromLatin1(Name);
  c->SetCaption(QString::fromLatin1(Caption));
  c->SetDataType(Type);
  c->SetHeaderAlignment(Qt::AlignCenter);
  return c;
}

void fixColumn(GridColumn* C) {
  C->Options.Filtering = C->Options.Grouping = C->Options.HorzSizing = C->Options.Moving = C->Options.Sorting =
      false;
}

void panelViewOptions(TableView& V) {
  ViewOptions& o = V.Options;
  o.GroupByBox = false;
  o.Editing = true;
  o.Inserting = o.Deleting = false;
  o.MultiSelect = false;
  o.ColumnSorting = false;
}

}  // namespace

// ---------------------------------------------------------------- construction

void TfrmETWViewer::createDebugLevelPanel() {
  repDebugLvl = {QStringLiteral("no tracing"), QStringLiteral("low verbosity"), QStringLiteral("high verbosity")};

  pnlDebugLvl = createPanel(this, "pnlDebugLvl", StaticText1, cxGrid2, GroupBox1);
  cxDebugLevel = new TableView(this);
  cxDebugLevel->Name = QStringLiteral("cxDebugLevel");
  panelViewOptions(*cxDebugLevel);
  cxDebugLevelAppl = addColumn(*cxDebugLevel, "cxDebugLevelAppl", "Application / DLL", ValueType::Text);
  cxDebugLevelAppl->Options.Editing = false;
  cxDebugLevelAppl->SetWidth(240);
  cxDebugLevelAppl->SetMinWidth(240);
  cxDebugLevelValue = addColumn(*cxDebugLevel, "cxDebugLevelValue", "Trace level", ValueType::Text);
  cxDebugLevelValue->Options.Editing = true;
  cxDebugLevelValue->Options.Customizing = false;
  cxDebugLevelValue->SetWidth(90);
  cxDebugLevelValue->SetMinWidth(90);
  cxDebugLevelOrigin = addColumn(*cxDebugLevel, "cxDebugLevelOrigin", "", ValueType::Integer);
  cxDebugLevelOrigin->SetVisible(false);
  fixColumn(cxDebugLevelAppl);
  fixColumn(cxDebugLevelValue);
  cxGrid2->AddLevel(cxDebugLevel);
  cxDebugLevelEditors = new tCellEditors(*cxGrid2, *cxDebugLevel);
  cxDebugLevelEditors->AddListColumn(cxDebugLevelValue, repDebugLvl);

  cxButton1 = boxButton(GroupBox1, "Set everything to low verbosity", 8, 161);
  cxButton3 = boxButton(GroupBox1, "Cancel", 176, 80);
  cxButton4 = boxButton(GroupBox1, "Accept", 260, 80);
  connect(cxButton1, &QPushButton::clicked, this, [this] { cxButton1Click(); });
  connect(cxButton3, &QPushButton::clicked, this, [this] { cxButton3Click(); });
  connect(cxButton4, &QPushButton::clicked, this, [this] { cxButton4Click(); });
}

void TfrmETWViewer::createSupplierPanel() {
  pnlDebugLvlEx = createPanel(this, "pnlDebugLvlEx", StaticText2, cxGrid3, GroupBox2);
  cxDebugLevelEx = new TableView(this);
  cxDebugLevelEx->Name = QStringLiteral("cxDebugLevelEx");
  panelViewOptions(*cxDebugLevelEx);
  cxSupplier = addColumn(*cxDebugLevelEx, "cxSupplier", "Application / DLL", ValueType::Text);
  cxSupplier->Options.Editing = false;
  cxSupplier->SetWidth(220);
  cxSupplier->SetMinWidth(220);
  fixColumn(cxSupplier);
  cxOriginLevel = addColumn(*cxDebugLevelEx, "cxOriginLevel", "", ValueType::Integer);
  cxOriginLevel->SetVisible(false);
  cxOriginLevel->Options.Customizing = false;
  cxCurrentLevel = addColumn(*cxDebugLevelEx, "cxCurrentLevel", "Trace level", ValueType::Text);
  cxCurrentLevel->Options.Editing = true;
  cxCurrentLevel->SetWidth(90);
  cxProcessID = addColumn(*cxDebugLevelEx, "cxProcessID", "", ValueType::Integer);
  cxProcessID->SetVisible(false);
  cxSupplierID = addColumn(*cxDebugLevelEx, "cxSupplierID", "", ValueType::Integer);
  cxSupplierID->SetVisible(false);
  cxExtChanged = addColumn(*cxDebugLevelEx, "cxExtChanged", "", ValueType::Integer);
  cxExtChanged->SetWidth(18);
  cxExtChanged->SetMinWidth(18);
  cxExtChanged->Options.Filtering = cxExtChanged->Options.HorzSizing = cxExtChanged->Options.Moving =
      cxExtChanged->Options.Sorting = false;
  cxExtChanged->OnGetDataText = [](const TableView&, int, QString& Text) { Text.clear(); };
  cxGrid3->AddLevel(cxDebugLevelEx);
  cxDebugLevelExEditors = new tCellEditors(*cxGrid3, *cxDebugLevelEx);
  cxDebugLevelExEditors->AddListColumn(cxCurrentLevel, repDebugLvl);
  cxDebugLevelExEditors->AddButtonColumn(cxExtChanged, [this] { cxExtChangedPropertiesButtonClick(); });

  cxButton7 = boxButton(GroupBox2, "Set everything to low verbosity", 8, 161);
  cxButton2 = boxButton(GroupBox2, "Cancel", 176, 80);
  cxButton6 = boxButton(GroupBox2, "Accept", 260, 80);
  connect(cxButton7, &QPushButton::clicked, this, [this] { cxButton7Click(); });
  connect(cxButton2, &QPushButton::clicked, this, [this] { cxButton2Click(); });
  connect(cxButton6, &QPushButton::clicked, this, [this] { cxButton6Click(); });
}

lw::reg::tRegistryApi& TfrmETWViewer::registry() const {
  return services_.Registry ? *services_.Registry : SystemRegistry();
}

// ---------------------------------------------------------------- trace levels

QString TfrmETWViewer::LevelToText(int32_t& Level) const {
  if (Level == kLevelHigh) return repDebugLvl[2];
  if (Level == kLevelNoTracing) return repDebugLvl[0];
  Level = kLevelLow;
  return repDebugLvl[1];
}

int32_t TfrmETWViewer::TextToLevel(const QString& Text) const {
  const qsizetype index = repDebugLvl.indexOf(Text);
  if (index == 0) return kLevelNoTracing;
  if (index == 2) return kLevelHigh;
  return kLevelLow;
}

void TfrmETWViewer::cxButton5Click() {
  if (CheckBox1->isChecked()) {
    pnlDebugLvlEx->show();
    pnlDebugLvlEx->raise();
  } else {
    LoadDebugLevels();
    pnlDebugLvl->show();
    pnlDebugLvl->raise();
  }
}

// ---------------------------------------------------------------- registry panel

void TfrmETWViewer::LoadDebugLevels() {
  DataController& dc = cxDebugLevel->Controller();
  cxDebugLevelEditors->CloseList();
  dc.BeginUpdate();
  dc.SetRecordCount(0);
  tRegistryApi& reg = registry();
  HKEY root = nullptr;
  if (reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDebugLevelKey, 0, KEY_READ | KEY_WOW64_32KEY, &root) == ERROR_SUCCESS) {
    for (DWORD index = 0;; ++index) {
      std::array<char, kNameBufferSize> name{};
      DWORD length = kNameBufferSize;
      if (reg.RegEnumKeyExA(root, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
      const std::string subkey(name.data(), std::min<DWORD>(length, kNameBufferSize - 1));
      HKEY key = nullptr;
      if (reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kDebugLevelKey + subkey).c_str(), 0, KEY_READ | KEY_WOW64_32KEY,
                            &key) != ERROR_SUCCESS)
        continue;
      const int r = dc.AppendRecord();
      dc.SetValue(r, kApplItem, fromAnsiText(subkey));
      dc.SetValue(r, kOriginItem, kLevelLow);
      dc.SetValue(r, kValueItem, repDebugLvl[1]);
      BYTE value[4] = {};
      DWORD size = sizeof value;
      if (reg.RegQueryValueExA(key, kDebugLevelValue, nullptr, nullptr, value, &size) == ERROR_SUCCESS) {
        int32_t level = static_cast<int32_t>(static_cast<uint32_t>(value[0]) | static_cast<uint32_t>(value[1]) << 8 |
                                             static_cast<uint32_t>(value[2]) << 16 |
                                             static_cast<uint32_t>(value[3]) << 24);
        dc.SetValue(r, kOriginItem, level);  // as read, even when it is none of the three levels
        dc.SetValue(r, kValueItem, LevelToText(level));
      }
      reg.RegCloseKey(key);
    }
    reg.RegCloseKey(root);
  }
  dc.EndUpdate();
}

void TfrmETWViewer::cxButton4Click() {
  pnlDebugLvl->hide();
  cxDebugLevelEditors->CloseList();
  bool anyStored = false;
  tRegistryApi& reg = registry();
  DataController& dc = cxDebugLevel->Controller();
  for (int r = 0; r < dc.RecordCount(); ++r) {
    const int32_t newLevel = TextToLevel(dc.Values(r, kValueItem).toString());
    int32_t oldLevel = dc.Values(r, kOriginItem).toInt();
    if (newLevel == oldLevel) continue;
    const QString name = dc.Values(r, kApplItem).toString();
    HKEY key = nullptr;
    LONG status = reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kDebugLevelKey + toAnsiText(name)).c_str(), 0,
                                    KEY_WRITE | KEY_WOW64_32KEY, &key);
    if (status == ERROR_SUCCESS) {
      const uint32_t v = static_cast<uint32_t>(newLevel);
      const BYTE bytes[4] = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                            static_cast<BYTE>(v >> 24)};
      status = reg.RegSetValueExA(key, kDebugLevelValue, 0, REG_DWORD, bytes, sizeof bytes);
      reg.RegCloseKey(key);
      if (status == ERROR_SUCCESS) {
        dc.SetValue(r, kOriginItem, newLevel);
        anyStored = true;
        continue;
      }
    }
    if (status == ERROR_ACCESS_DENIED)
      ShowMessage(QStringLiteral("Failed to store debug level for application: '%1'. Access denied\n\r"
                                 "Try to restart Logwarden as administrator.")
                      .arg(name));
    else
      ShowMessage(QStringLiteral("Failed to store debug level for application: '%1', Error Code: %2")
                      .arg(name)
                      .arg(status));
    dc.SetValue(r, kValueItem, LevelToText(oldLevel));
  }
  if (anyStored && !RestartHintSuppressed)
    MessageDlgDontShowAgain(RestartHintSuppressed, QStringLiteral("Logwarden!"), QString::fromLatin1(kRestartHintText),
                            MsgDlgType::Warning, mbOK);
}

void TfrmETWViewer::cxButton3Click() {
  pnlDebugLvl->hide();
  cxDebugLevelEditors->CloseList();
  DataController& dc = cxDebugLevel->Controller();
  for (int r = 0; r < dc.RecordCount(); ++r) {
    int32_t stored = dc.Values(r, kOriginItem).toInt();
    dc.SetValue(r, kValueItem, LevelToText(stored));
  }
}

void TfrmETWViewer::cxButton1Click() {
  DataController& dc = cxDebugLevel->Controller();
  for (int r = 0; r < dc.RecordCount(); ++r) dc.SetValue(r, kValueItem, repDebugLvl[1]);
}

// ---------------------------------------------------------------- supplier panel

void TfrmETWViewer::Timer1Timer() {
  tSupplierRegistry* server = services_.Suppliers ? services_.Suppliers() : nullptr;
  if (!server) return;
  DataController& dc = cxDebugLevelEx->Controller();
  // Each notice is read from the server's copy before the next call overwrites it.
  while (const tTraceRec* rec = server->GetNextSupplierChange()) {
    RemoveSupplierRows(rec->ProcessID, rec->SupplierID);
    if (rec->SupplierID == 0) continue;
    dc.BeginUpdate();
    const int r = dc.AppendRecord();
    dc.SetValue(r, kProcessIdItem, static_cast<qint64>(rec->ProcessID));
    dc.SetValue(r, kSupplierIdItem, static_cast<qint64>(rec->SupplierID));
    int32_t level = rec->Level;
    dc.SetValue(r, kCurrentLevelItem, LevelToText(level));
    dc.SetValue(r, kOriginLevelItem, level);
    std::string process =
        services_.ProcessName ? services_.ProcessName(rec->ProcessID) : GetProcessName(rec->ProcessID);
    const auto dot = process.rfind('.');
    if (dot != std::string::npos) process.resize(dot);
    if (lw::os::AnsiLowerCase(process) == lw::os::AnsiLowerCase(rec->SupplierName))
      process = "PID: " + std::to_string(rec->ProcessID);
    dc.SetValue(r, kSupplierItem, fromAnsiText(rec->SupplierName + "[" + process + "]"));
    dc.EndUpdate();
  }
}

void TfrmETWViewer::RemoveSupplierRows(uint32_t ProcessID, uint32_t SupplierID) {
  DataController& dc = cxDebugLevelEx->Controller();
  dc.BeginUpdate();
  for (int r = 0; r < dc.RecordCount();) {
    if (dc.Values(r, kProcessIdItem).toLongLong() == ProcessID &&
        (SupplierID == 0 || dc.Values(r, kSupplierIdItem).toLongLong() == SupplierID))
      dc.DeleteRecord(r);
    else
      ++r;
  }
  dc.EndUpdate();
}

void TfrmETWViewer::cxButton6Click() {
  pnlDebugLvlEx->hide();
  cxDebugLevelExEditors->CloseList();
  tSupplierRegistry* server = services_.Suppliers ? services_.Suppliers() : nullptr;
  DataController& dc = cxDebugLevelEx->Controller();
  for (int r = 0; r < dc.RecordCount(); ++r) {
    int32_t newLevel = TextToLevel(dc.Values(r, kCurrentLevelItem).toString());
    const int32_t oldLevel = dc.Values(r, kOriginLevelItem).toInt();
    if (newLevel == oldLevel) continue;
    dc.SetValue(r, kCurrentLevelItem, LevelToText(newLevel));
    if (server)
      server->SetSupplierLevel(static_cast<uint32_t>(dc.Values(r, kProcessIdItem).toLongLong()),
                               static_cast<uint32_t>(dc.Values(r, kSupplierIdItem).toLongLong()), newLevel);
  }
}

void TfrmETWViewer::cxButton2Click() {
  pnlDebugLvlEx->hide();
  cxDebugLevelExEditors->CloseList();
  DataController& dc = cxDebugLevelEx->Controller();
  for (int r = 0; r < dc.RecordCount(); ++r) {
    int32_t origin = dc.Values(r, kOriginLevelItem).toInt();
    dc.SetValue(r, kCurrentLevelItem, LevelToText(origin));
  }
}

void TfrmETWViewer::cxButton7Click() {
  DataController& dc = cxDebugLevelEx->Controller();
  for (int r = 0; r < dc.RecordCount(); ++r) dc.SetValue(r, kCurrentLevelItem, repDebugLvl[1]);
}

void TfrmETWViewer::cxExtChangedPropertiesButtonClick() {
  const DataController& dc = cxDebugLevelEx->Controller();
  const int record = dc.RowRecordIndex(dc.FocusedRowIndex());
  if (record < 0) return;
  const auto processId = static_cast<uint32_t>(dc.Values(record, kProcessIdItem).toLongLong());
  const auto supplierId = static_cast<uint32_t>(dc.Values(record, kSupplierIdItem).toLongLong());
  if (services_.ShowForSupplier) services_.ShowForSupplier(processId, supplierId);
}
