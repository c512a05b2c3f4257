// The main window TfrmETWViewer: the live event list fed from the log-entry queue every 200 ms, its
// frozen snapshot, the session indicator, the level choice handed to the reader, and the tools on the
// list (save as .xls, clear, group by, filter, use as filter, level images, file hints, column fitting),
// and the two trace-level panels: pnlDebugLvl edits the DebugLevel values of the applications under
// HKEY_LOCAL_MACHINE\SOFTWARE\Quendral, pnlDebugLvlEx mirrors the suppliers registered with the control
// server and hands the operator's levels to it.
//
// The window owns the reader (deleted by the destructor, which stops it). Everything here runs on the
// GUI thread; the queue is shared with the reader and the control server and is only read under its
// lock. Component names are the form's designer names.
#pragma once

#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QCheckBox>
#include <QTimer>
#include <QToolButton>
#include <QVariant>
#include <QWidget>
#include <memory>

#include "platform/widgets/Controls.h"
#include "platform/widgets/Grid.h"
#include "server/LogItems.h"
#include "window/CellEditors.h"
#include "window/WindowServices.h"

// Process-wide state of the window's unit, built before any window and kept to the end of the process.
extern QVariant UseAsFilterValue;
extern lw::widgets::GridColumn* UseAsFilterColumn;
extern bool AccessWarningDone;
extern bool RestartHintSuppressed;

// The texts of the window that other code and the tests compare against.
extern const char* const kAccessWarningText;
extern const char* const kRestartHintText;
// The key of the applications' trace levels below HKEY_LOCAL_MACHINE, and their value.
inline constexpr const char* kDebugLevelKey = "SOFTWARE\\Quendral\\";
inline constexpr const char* kDebugLevelValue = "DebugLevel";
// Trace levels as stored in the registry and sent to suppliers.
inline constexpr int32_t kLevelNoTracing = 0;
inline constexpr int32_t kLevelLow = 3;
inline constexpr int32_t kLevelHigh = -1;
inline constexpr int kMaxEventRecords = 10000;

class TfrmETWViewer : public QWidget {
  Q_OBJECT
 public:
  explicit TfrmETWViewer(tWindowServices Services, QWidget* Parent = nullptr);
  ~TfrmETWViewer() override;

  // Components.
  QWidget* TopBar = nullptr;
  lw::widgets::Shape* ETWRunning = nullptr;
  QLabel* Label3 = nullptr;
  QToolButton* SpeedButton1 = nullptr;
  QPushButton* cxButton5 = nullptr;
  QCheckBox* CheckBox1 = nullptr;
  QLabel* Label1 = nullptr;
  QComboBox* ComboBox1 = nullptr;
  lw::widgets::LinkLabel* Label5 = nullptr;
  lw::widgets::LinkLabel* Label4 = nullptr;
  lw::widgets::Grid* cxGrid1 = nullptr;
  lw::widgets::GridLevel* cxGrid1Level1 = nullptr;
  lw::widgets::GridLevel* cxGrid1Level2 = nullptr;
  lw::widgets::TableView* cxEventView = nullptr;
  lw::widgets::TableView* cxEventView2 = nullptr;
  lw::widgets::GridColumn* cxEventViewSeq = nullptr;
  lw::widgets::GridColumn* cxEventViewTime = nullptr;
  lw::widgets::GridColumn* cxEventViewLevel = nullptr;
  lw::widgets::GridColumn* cxEventViewUser = nullptr;
  lw::widgets::GridColumn* cxEventViewProcess = nullptr;
  lw::widgets::GridColumn* cxEventViewThread = nullptr;
  lw::widgets::GridColumn* cxEventViewCategory = nullptr;
  lw::widgets::GridColumn* cxEventViewFile = nullptr;
  lw::widgets::GridColumn* cxEventViewLine = nullptr;
  lw::widgets::GridColumn* cxEventViewMessage = nullptr;
  QTimer* Timer1 = nullptr;
  QTimer* Timer2 = nullptr;
  // The registry trace-level panel.
  QFrame* pnlDebugLvl = nullptr;
  QLabel* StaticText1 = nullptr;
  lw::widgets::Grid* cxGrid2 = nullptr;
  lw::widgets::TableView* cxDebugLevel = nullptr;
  lw::widgets::GridColumn* cxDebugLevelAppl = nullptr;
  lw::widgets::GridColumn* cxDebugLevelValue = nullptr;
  lw::widgets::GridColumn* cxDebugLevelOrigin = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QPushButton* cxButton1 = nullptr;
  QPushButton* cxButton3 = nullptr;
  QPushButton* cxButton4 = nullptr;
  tCellEditors* cxDebugLevelEditors = nullptr;
  // The supplier trace-level panel.
  QFrame* pnlDebugLvlEx = nullptr;
  QLabel* StaticText2 = nullptr;
  lw::widgets::Grid* cxGrid3 = nullptr;
  lw::widgets::TableView* cxDebugLevelEx = nullptr;
  lw::widgets::GridColumn* cxSupplier = nullptr;
  lw::widgets::GridColumn* cxOriginLevel = nullptr;
  lw::widgets::GridColumn* cxCurrentLevel = nullptr;
  lw::widgets::GridColumn* cxProcessID = nullptr;
  lw::widgets::GridColumn* cxSupplierID = nullptr;
  lw::widgets::GridColumn* cxExtChanged = nullptr;
  QGroupBox* GroupBox2 = nullptr;
  QPushButton* cxButton7 = nullptr;
  QPushButton* cxButton2 = nullptr;
  QPushButton* cxButton6 = nullptr;
  tCellEditors* cxDebugLevelExEditors = nullptr;
  // The items of the trace-level list (repDebugLvl): "no tracing", "low verbosity", "high verbosity".
  QStringList repDebugLvl;
  QMenu* pmEventView = nullptr;
  QMenu* groupby1 = nullptr;
  QAction* Cleargrouping1 = nullptr;
  QAction* Filter1 = nullptr;
  QAction* useasfilter1 = nullptr;
  lw::widgets::GridPopupMenu* cxGridPopupMenu1 = nullptr;
  lw::widgets::ImageList cxImageList1{16, 16};
  lw::widgets::SaveDialog SaveDialog1;
  QColor cxStyle1Color;

  // Handlers.
  void Timer2Timer();
  void ComboBox1Change();
  void SpeedButton1Click();
  void Label4Click();
  void Label5Click();
  void cxGridPopupMenu1Popup(QMenu* Menu, const lw::widgets::GridHitTest& Hit, bool& Handled);
  void GroupByClick(QObject* Sender);
  void Filter1Click();
  void useasfilter1Click();
  void FormResize();
  // Registry trace-level panel.
  void cxButton5Click();
  void LoadDebugLevels();
  void cxButton4Click();
  void cxButton3Click();
  void cxButton1Click();
  // Supplier trace-level panel.
  void Timer1Timer();
  void RemoveSupplierRows(uint32_t ProcessID, uint32_t SupplierID);
  void cxButton6Click();
  void cxButton2Click();
  void cxButton7Click();
  void cxExtChangedPropertiesButtonClick();

  // Level number to text; any level but 0 and -1 reads as "low verbosity" and is set to 3.
  QString LevelToText(int32_t& Level) const;
  // Text to level number: "no tracing" 0, "high verbosity" -1, anything else 3.
  int32_t TextToLevel(const QString& Text) const;

  // The level choice as the combo box reports it: the item whose text the box shows, or -1.
  int ComboBox1ItemIndex() const;
  lw::widgets::TableView* ActiveView() const { return cxGrid1->ActiveView(); }
  tReaderControl* Reader() const { return reader_.get(); }

 protected:
  void resizeEvent(QResizeEvent* Event) override;
  // Writes one entry as a new record of V (step 7 of the tick).
  virtual void AddEventRecord(lw::widgets::DataController& V, const tLogItem& Item);

 private:
  void createComponents();
  void createEventView();
  void drainQueue();
  void createDebugLevelPanel();
  void createSupplierPanel();
  lw::reg::tRegistryApi& registry() const;

  tWindowServices services_;
  std::unique_ptr<tReaderControl> reader_;
};
