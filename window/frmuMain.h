// The main window TfrmETWViewer: the live event list fed from the log-entry queue every 200 ms, its
// frozen snapshot, the session indicator, the level choice handed to the reader, and the tools on the
// list (save as .xls, clear, group by, filter, use as filter, level images, file hints, column fitting).
//
// The window owns the reader (deleted by the destructor, which stops it). Everything here runs on the
// GUI thread; the queue is shared with the reader and the control server and is only read under its
// lock. Component names are the form's designer names.
#pragma once

#include <QComboBox>
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
#include "window/WindowServices.h"

// Process-wide state of the window's unit, built before any window and kept to the end of the process.
extern QVariant UseAsFilterValue;
extern lw::widgets::GridColumn* UseAsFilterColumn;
extern bool AccessWarningDone;
extern bool RestartHintSuppressed;

// The texts of the window that other code and the tests compare against.
extern const char* const kAccessWarningText;
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

  tWindowServices services_;
  std::unique_ptr<tReaderControl> reader_;
};
