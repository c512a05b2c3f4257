#include "window/frmuMain.h"

#include <QApplication>
#include <QCursor>
#include <QPainter>
#include <QResizeEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/os/CodePage.h"
#include "platform/os/DateTime.h"
#include "platform/os/Os.h"
#include "platform/widgets/FilterBuilder.h"
#include "platform/widgets/XlsExport.h"
#include "window/LevelImages.h"

using namespace lw::widgets;

QVariant UseAsFilterValue;
GridColumn* UseAsFilterColumn = nullptr;
bool AccessWarningDone = false;
bool RestartHintSuppressed = false;

const char* const kAccessWarningText =
    "Current user is not allowed to access the event log due to insufficient privileges."
    "                        \r"
    "Please ask your administrator to add the following security group to your account:"
    "                        \r\r"
    "BUILTIN\\Performance Log Users (5-1-5-32-559) (lusrmgr.msc)";

namespace {

constexpr uint32_t kRed = 0x0000FF;   // blue-green-red order
constexpr uint32_t kLime = 0x00FF00;
constexpr uint32_t kFrozenColor = 0xFDF8B9;
constexpr uint32_t kAccessDenied = 5;
const char* const kTimeFormat = "dd-mm-yyyy hh:mm:ss.zzz";

// Texts of entries are in the ANSI code page; most are plain ASCII.
QString fromAnsi(const std::string& s) {
  const bool ascii = std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
  const std::string utf8 = lw::os::AnsiToUtf8(s);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// The Freeze button's glyph: a small snowflake.
QIcon freezeGlyph() {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(30, 110, 200), 1.4, Qt::SolidLine, Qt::RoundCap));
  p.translate(8, 8);
  for (int i = 0; i < 3; ++i) {
    p.drawLine(QPointF(0, -6.5), QPointF(0, 6.5));
    p.drawLine(QPointF(-2, -5), QPointF(0, -3.2));
    p.drawLine(QPointF(2, -5), QPointF(0, -3.2));
    p.drawLine(QPointF(-2, 5), QPointF(0, 3.2));
    p.drawLine(QPointF(2, 5), QPointF(0, 3.2));
    p.rotate(60);
  }
  return QIcon(pm);
}

QFont blueFont(QFont f, bool underline) {
  f.setUnderline(underline);
  return f;
}

void makeBlue(QWidget* w) {
  QPalette p = w->palette();
  p.setColor(QPalette::WindowText, Qt::blue);
  p.setColor(QPalette::ButtonText, Qt::blue);
  w->setPalette(p);
}

}  // namespace

TfrmETWViewer::TfrmETWViewer(tWindowServices Services, QWidget* Parent)
    : QWidget(Parent), services_(std::move(Services)) {
  // 1. The form and its components.
  createComponents();
  // 2. The frozen view takes the live view as its pattern and its own background.
  cxEventView2->AssignPattern(*cxEventView);
  cxStyle1Color = colorFromBgr(kFrozenColor);
  cxEventView2->SetContentColor(cxStyle1Color);
  // 3. The session's log file, before the reader reads it.
  if (services_.SetCurrentLogFile) services_.SetCurrentLogFile(lw::os::ProgramFolder() + "QD_VELDDLL.etl");
  // 4. The reader, suspended.
  if (services_.CreateReader) reader_ = services_.CreateReader();
  // 5. The level choice.
  if (reader_) reader_->SetLevelFilter(ComboBox1ItemIndex());
  // 6. The trace-level panels cover the top bar while shown.
  pnlDebugLvl->move(pnlDebugLvl->x(), 0);
  pnlDebugLvlEx->move(pnlDebugLvlEx->x(), 0);
  // 7. The drain timer, before the reader runs.
  Timer2->start();
  // 8. The reader runs.
  if (reader_) reader_->Resume();
  // 9. One "Group by" item per column from index 1 on.
  for (int i = 1; i < cxEventView->ColumnCount(); ++i) {
    QAction* item = groupby1->addAction(cxEventView->Columns(i)->Caption());
    item->setData(i);  // the tag
    connect(item, &QAction::triggered, this, [this, item] { GroupByClick(item); });
  }
  // 10. The control server; an exception here leaves the construction, and the reader (a member) is
  // deleted on the way out.
  if (services_.CreateControlServer) services_.CreateControlServer();
  // 11. The supplier panel's poll, now that the server exists.
  Timer1->start();
}

TfrmETWViewer::~TfrmETWViewer() {
  Timer2->stop();
  Timer1->stop();
  reader_.reset();  // stop request, session stopped or detached, wait for the thread
}

void TfrmETWViewer::createComponents() {
  setWindowTitle(QStringLiteral("Quendral Logwarden"));
  QFont f(QStringLiteral("MS Sans Serif"));
  f.setPixelSize(11);
  setFont(f);
  resize(1087, 838);
  if (const QScreen* s = QGuiApplication::primaryScreen()) move(s->availableGeometry().center() - rect().center());

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  TopBar = new QWidget(this);
  TopBar->setObjectName(QStringLiteral("Bevel1"));
  TopBar->setFixedHeight(33);
  layout->addWidget(TopBar);

  ETWRunning = new Shape(TopBar);
  ETWRunning->setObjectName(QStringLiteral("ETWRunning"));
  ETWRunning->SetBrushColor(colorFromBgr(kRed));
  Label3 = new QLabel(QStringLiteral("Eventlog:"), TopBar);
  SpeedButton1 = new QToolButton(TopBar);
  SpeedButton1->setObjectName(QStringLiteral("SpeedButton1"));
  SpeedButton1->setText(QStringLiteral("Freeze"));
  SpeedButton1->setCheckable(true);
  SpeedButton1->setAutoRaise(true);
  SpeedButton1->setCursor(Qt::PointingHandCursor);
  SpeedButton1->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  SpeedButton1->setIcon(freezeGlyph());
  SpeedButton1->setIconSize(QSize(12, 12));
  SpeedButton1->setFont(blueFont(f, true));
  makeBlue(SpeedButton1);
  cxButton5 = new QPushButton(QStringLiteral("Trace level settings"), TopBar);
  makeBlue(cxButton5);
  CheckBox1 = new QCheckBox(QStringLiteral("extended settings"), TopBar);
  Label1 = new QLabel(QStringLiteral("Show info:"), TopBar);
  ComboBox1 = new QComboBox(TopBar);
  ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  ComboBox1->addItems({QStringLiteral("important (startup + error + warning)"),
                       QStringLiteral("standard (important + diagnose)"), QStringLiteral("all (standard + debug)")});
  ComboBox1->setCurrentIndex(1);
  Label5 = new LinkLabel(QStringLiteral("Clear"), TopBar);
  Label4 = new LinkLabel(QStringLiteral("Save"), TopBar);

  createEventView();
  layout->addWidget(cxGrid1, 1);
  createDebugLevelPanel();
  createSupplierPanel();

  Timer2 = new QTimer(this);
  Timer2->setInterval(200);
  Timer1 = new QTimer(this);
  Timer1->setInterval(1000);

  pmEventView = new QMenu(this);
  groupby1 = pmEventView->addMenu(QStringLiteral("Group by"));
  Cleargrouping1 = groupby1->addAction(QStringLiteral("Clear grouping"));
  Cleargrouping1->setData(0);
  Filter1 = pmEventView->addAction(QStringLiteral("Filter"));
  useasfilter1 = pmEventView->addAction(QStringLiteral("use as filter"));
  useasfilter1->setEnabled(false);

  cxGridPopupMenu1 = new GridPopupMenu(this);
  cxGridPopupMenu1->SetGrid(cxGrid1);
  cxGridPopupMenu1->UseBuiltInPopupMenus = false;
  cxGridPopupMenu1->AlwaysFireOnPopup = true;
  cxGridPopupMenu1->AddMenu(cxEventView, pmEventView,
                            {HitKind::EmptyArea, HitKind::None, HitKind::Cell, HitKind::Record,
                             HitKind::ColumnHeader, HitKind::RowCaption});
  cxGridPopupMenu1->AddMenu(cxEventView2, pmEventView,
                            {HitKind::EmptyArea, HitKind::None, HitKind::Cell, HitKind::Record, HitKind::ColumnHeader});
  cxGridPopupMenu1->OnPopup = [this](QMenu* m, const GridHitTest& h, bool& handled) {
    cxGridPopupMenu1Popup(m, h, handled);
  };

  for (const QPixmap& pm : DrawLevelImages()) cxImageList1.Add(pm);

  SaveDialog1.DefaultExt = QStringLiteral(".xls");
  SaveDialog1.Filter = QStringLiteral("Excell (*.xls)|*.xls");
  SaveDialog1.OverwritePrompt = true;

  connect(Timer2, &QTimer::timeout, this, [this] { Timer2Timer(); });
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
  connect(cxButton5, &QPushButton::clicked, this, [this] { cxButton5Click(); });
  connect(ComboBox1, &QComboBox::editTextChanged, this, [this] { ComboBox1Change(); });
  connect(SpeedButton1, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
  connect(Label4, &LinkLabel::clicked, this, [this] { Label4Click(); });
  connect(Label5, &LinkLabel::clicked, this, [this] { Label5Click(); });
  connect(Cleargrouping1, &QAction::triggered, this, [this] { GroupByClick(Cleargrouping1); });
  connect(Filter1, &QAction::triggered, this, [this] { Filter1Click(); });
  connect(useasfilter1, &QAction::triggered, this, [this] { useasfilter1Click(); });
}

void TfrmETWViewer::createEventView() {
  cxGrid1 = new Grid(this);
  cxGrid1->setObjectName(QStringLiteral("cxGrid1"));
  cxEventView = new TableView(this);
  cxEventView->Name = QStringLiteral("cxEventView");
  ViewOptions& o = cxEventView->Options;
  o.Editing = o.Inserting = o.Deleting = false;
  o.CellSelect = false;
  o.HorzScrollBar = false;
  o.GroupByBox = false;
  o.ColumnSorting = false;
  o.ColumnHiding = true;
  o.ColumnsQuickCustomization = true;

  struct Def {
    GridColumn** member;
    const char* name;
    const char* caption;
    ValueType type;
    bool visible;
    int width;
  };
  constexpr int kDefault = 64;
  const Def defs[] = {
      {&cxEventViewSeq, "cxEventViewSeq", "Seq", ValueType::Int64, false, kDefault},
      {&cxEventViewTime, "cxEventViewTime", "Time", ValueType::Text, true, 135},
      {&cxEventViewLevel, "cxEventViewLevel", "Level", ValueType::Integer, true, 35},
      {&cxEventViewUser, "cxEventViewUser", "User", ValueType::Integer, false, kDefault},
      {&cxEventViewProcess, "cxEventViewProcess", "Proccess ID", ValueType::Integer, false, kDefault},
      {&cxEventViewThread, "cxEventViewThread", "Thread ID", ValueType::Integer, false, kDefault},
      {&cxEventViewCategory, "cxEventViewCategory", "Cat..", ValueType::Integer, false, 35},
      {&cxEventViewFile, "cxEventViewFile", "File", ValueType::Text, false, 150},
      {&cxEventViewLine, "cxEventViewLine", "Line", ValueType::Integer, false, 35},
      {&cxEventViewMessage, "cxEventViewMessage", "Message", ValueType::Text, true, 500},
  };
  for (const Def& d : defs) {
    GridColumn* c = cxEventView->CreateColumn();
    c->Name = QString::fromLatin1(d.name);
    c->SetCaption(QString::fromLatin1(d.caption));
    c->SetDataType(d.type);
    c->SetVisible(d.visible);
    c->SetWidth(d.width);
    c->SetHeaderAlignment(Qt::AlignCenter);
    c->Options.Editing = false;
    *d.member = c;
  }
  cxEventViewLevel->SetMinWidth(35);
  cxEventViewMessage->Options.Grouping = false;
  cxEventViewTime->Options.Sorting = false;
  cxEventViewTime->SetSortOrder(SortOrder::Ascending);

  // File: shown without its folder; the full text as hint.
  cxEventViewFile->OnGetDataText = [](const TableView&, int, QString& Text) {
    const qsizetype p = Text.lastIndexOf(QLatin1Char('\\'));
    if (p >= 0) Text = Text.mid(p + 1);
  };
  cxEventViewFile->OnGetCellHint = [](const TableView& View, int RecordIndex, QString& Hint) {
    Hint = View.Controller().Values(RecordIndex, View.Columns(7)->Index()).toString();
  };
  // Level: the image of the level and user values of the record being drawn.
  cxEventViewLevel->OnCustomDrawCell = [this](CustomDrawCellInfo& Info, bool& Done) {
    const DataController& dc = Info.View->Controller();
    const int level = dc.Values(Info.RecordIndex, 2).toInt();
    const int user = dc.Values(Info.RecordIndex, 3).toInt();
    const int index = LevelImageIndex(level, user);
    Info.Canvas->fillRect(Info.Bounds, Info.Brush);
    cxImageList1.Draw(*Info.Canvas, Info.Bounds.left() + 7, Info.Bounds.top() + 1, index, true);
    Done = true;
  };

  cxEventView2 = new TableView(this);
  cxEventView2->Name = QStringLiteral("cxEventView2");
  cxGrid1Level1 = cxGrid1->AddLevel(cxEventView);
  cxGrid1Level2 = cxGrid1->AddLevel(cxEventView2);
  cxGrid1->SetActiveLevel(cxGrid1Level1);
}

void TfrmETWViewer::resizeEvent(QResizeEvent* Event) {
  QWidget::resizeEvent(Event);
  // Top bar: the form's positions; Clear and Save keep their distance to the right edge.
  const int w = width();
  ETWRunning->setGeometry(10, 7, 15, 15);
  Label3->adjustSize();
  Label3->move(33, 8);
  SpeedButton1->setGeometry(80, 1, 81, 31);
  cxButton5->setGeometry(168, 4, 153, 26);
  CheckBox1->setGeometry(336, 8, std::max(113, CheckBox1->sizeHint().width()), 17);
  Label1->adjustSize();
  Label1->move(528, 10);
  ComboBox1->setGeometry(584, 6, 190, std::max(21, ComboBox1->sizeHint().height()));
  Label5->adjustSize();
  Label4->adjustSize();
  Label5->move(w - (1087 - 998), 8);
  Label4->move(w - (1087 - 1032), 8);
  FormResize();
}

int TfrmETWViewer::ComboBox1ItemIndex() const {
  return ComboBox1->findText(ComboBox1->currentText(), Qt::MatchFixedString);
}

// ---------------------------------------------------------------- the tick

void TfrmETWViewer::Timer2Timer() {
  // 1. No tick starts while this one runs, the warning included.
  Timer2->stop();
  // 2. Session indicator.
  if (reader_) {
    if (reader_->IsProcessing()) {
      AccessWarningDone = true;
      reader_->FlushSession();
      if (ETWRunning->BrushColor() == colorFromBgr(kRed)) ETWRunning->SetBrushColor(colorFromBgr(kLime));
    } else {
      if (ETWRunning->BrushColor() == colorFromBgr(kLime)) ETWRunning->SetBrushColor(colorFromBgr(kRed));
      if (!AccessWarningDone && reader_->GetStatus() == kAccessDenied) {
        AccessWarningDone = true;
        MessageDlg(QString::fromLatin1(kAccessWarningText), MsgDlgType::Warning, mbOK);
      }
    }
  }
  // 3. The unlocked hint.
  if (!LogItems.IsEmpty()) drainQueue();
  // 9.
  Timer2->start();
}

void TfrmETWViewer::drainQueue() {
  // 4. Always the live view, whichever level is shown.
  DataController& V = cxEventView->Controller();
  const int F = V.FocusedRowIndex();
  const bool FollowEnd = F < 0 || F == V.RowCount() - 1;
  QString failure;
  bool failed = false;
  // 5. to 8. under the queue's lock.
  LogItems.Lock();
  V.BeginUpdate();
  try {
    size_t N = LogItems.size();
    auto it = LogItems.begin();
    while (N > static_cast<size_t>(kMaxEventRecords)) {  // the oldest surplus is never shown
      ++it;
      --N;
    }
    if (N == static_cast<size_t>(kMaxEventRecords)) {
      V.SetRecordCount(0);
    } else {
      while (static_cast<size_t>(V.RecordCount()) + N > static_cast<size_t>(kMaxEventRecords)) V.DeleteRecord(0);
    }
    for (; it != LogItems.end(); ++it) AddEventRecord(V, *it);
  } catch (const std::exception& e) {
    failed = true;
    failure = QString::fromLocal8Bit(e.what());
  } catch (...) {
    failed = true;
  }
  LogItems.clear();
  LogItems.Unlock();
  V.EndUpdate();
  V.SetFocusedRowIndex(FollowEnd ? V.RowCount() - 1 : F);
  // Shown once the queue is free again, so that producers do not wait for the user.
  if (failed) ShowException(failure);
}

void TfrmETWViewer::AddEventRecord(DataController& V, const tLogItem& Item) {
  const int r = V.AppendRecord();
  V.SetValue(r, 0, static_cast<qint64>(Item.Seq));
  const std::string time = lw::os::FormatDateTime(kTimeFormat, Item.Time);
  V.SetValue(r, 1, QString::fromLatin1(time.data(), static_cast<qsizetype>(time.size())));
  V.SetValue(r, 2, static_cast<int>(Item.LevelWord & 0xFFFFu));
  V.SetValue(r, 3, static_cast<int>(static_cast<int16_t>(static_cast<uint16_t>(Item.LevelWord >> 16))));
  V.SetValue(r, 4, static_cast<qint64>(Item.ProcessID));
  V.SetValue(r, 5, static_cast<qint64>(Item.ThreadID));
  V.SetValue(r, 6, Item.Category);
  V.SetValue(r, 7, fromAnsi(Item.File));
  V.SetValue(r, 8, Item.Line);
  V.SetValue(r, 9, fromAnsi(Item.Message));
}

// ---------------------------------------------------------------- controls of the top bar

void TfrmETWViewer::ComboBox1Change() {
  if (reader_) reader_->SetLevelFilter(ComboBox1ItemIndex());
}

void TfrmETWViewer::SpeedButton1Click() {
  if (SpeedButton1->isChecked()) {
    cxEventView2->Controller().AssignData(cxEventView->Controller());
    cxGrid1->SetActiveLevel(cxGrid1Level2);
  } else {
    cxGrid1->SetActiveLevel(cxGrid1Level1);
  }
  FormResize();
}

void TfrmETWViewer::Label4Click() {
  if (!SaveDialog1.Execute(this)) return;
  TableView* view = ActiveView();
  std::vector<bool> visible;
  for (int i = 0; i < view->ColumnCount(); ++i) {
    visible.push_back(view->Columns(i)->Visible());
    view->Columns(i)->SetVisible(true);
  }
  QString failure;
  bool failed = false;
  try {
    ExportGridToExcel(SaveDialog1.FileName, cxGrid1, true, true, true, QStringLiteral("xls"));
  } catch (const std::exception& e) {
    failed = true;
    failure = QString::fromLocal8Bit(e.what());
  }
  // The visibility comes back whether or not the file was written.
  for (int i = 0; i < view->ColumnCount(); ++i) view->Columns(i)->SetVisible(visible[static_cast<size_t>(i)]);
  if (failed) ShowException(failure);
}

void TfrmETWViewer::Label5Click() { ActiveView()->Controller().SetRecordCount(0); }

// ---------------------------------------------------------------- popup menu

void TfrmETWViewer::cxGridPopupMenu1Popup(QMenu*, const GridHitTest& Hit, bool&) {
  useasfilter1->setEnabled(false);
  UseAsFilterColumn = nullptr;
  if (Hit.Kind != HitKind::Cell) return;
  if (!Hit.Column || Hit.RecordIndex < 0 || !Hit.View) return;
  useasfilter1->setEnabled(true);
  UseAsFilterValue = Hit.View->Controller().Values(Hit.RecordIndex, Hit.Column->Index());
  TableView* view = ActiveView();
  for (int i = 0; i < view->ColumnCount(); ++i) {
    if (view->Columns(i)->Caption() == Hit.Column->Caption()) {
      UseAsFilterColumn = view->Columns(i);
      break;
    }
  }
}

void TfrmETWViewer::GroupByClick(QObject* Sender) {
  DataController& dc = ActiveView()->Controller();
  dc.ClearGrouping();
  auto* item = qobject_cast<QAction*>(Sender);
  if (item && item->data().toInt() != 0) dc.ChangeGrouping(item->data().toInt(), 0);
}

void TfrmETWViewer::Filter1Click() { RunFilterBuilder(*ActiveView(), nullptr); }

void TfrmETWViewer::useasfilter1Click() {
  if (!UseAsFilterColumn) return;
  DataController& dc = ActiveView()->Controller();
  FilterCriteria& filter = dc.Filter();
  dc.BeginUpdate();
  filter.RemoveItemConditions(UseAsFilterColumn->Index());
  filter.AddItem(UseAsFilterColumn->Index(), foLike, UseAsFilterValue, UseAsFilterValue.toString());
  filter.SetActive(true);
  dc.EndUpdate();
}

// ---------------------------------------------------------------- Message column fitting

void TfrmETWViewer::FormResize() {
  if (!cxGrid1 || !ActiveView()) return;
  TableView* view = ActiveView();
  GridColumn* message = nullptr;
  int sum = 0;
  for (int i = 0; i < view->ColumnCount(); ++i) {
    GridColumn* c = view->Columns(i);
    if (!c->Visible()) continue;
    if (c->Caption() == QLatin1String("Message"))
      message = c;
    else
      sum += c->Width();
  }
  const int W = width();
  if (message && W - sum > 50) message->SetWidth(W - sum - 32);
}
