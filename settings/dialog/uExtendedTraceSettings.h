// TExtendedTraceSettings: the modal dialog that edits the extended settings of one registered supplier.
//
// A client application ("ZorvClient") gets the client panel: standard level, files, lines and trace
// folder, and up to five station exceptions; a gateway application ("TalvexGateway") gets the gateway
// panel: telegram folder and delay. Any other supplier gets no dialog. The dialog reads the supplier's
// trace record once when it opens (a copy, kept in the record copy below), and on Accept or Send hands
// the new settings strings back to the supplier registry, which pushes them at the supplier's next poll.
//
// The fields keep their contents between openings; FormShow overwrites only the panel it brings to the
// front. The dialog holds no lock: the registry locks inside GetSupplierRec and SetSupplierSettings.
//
// GUI thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>

#include "platform/widgets/Editors.h"
#include "platform/widgets/Grid.h"
#include "server/SupplierRegistry.h"  // tTraceRec, tSupplierRegistry

class QComboBox;
class QLabel;
class QMenu;
class QAction;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QWidget;

// The supplier names that get a dialog (compared byte for byte).
inline constexpr const char* kClientSupplierName = "ZorvClient";
inline constexpr const char* kGatewaySupplierName = "TalvexGateway";
// At most this many station exceptions.
inline constexpr int kMaxExceptions = 5;

class TExtendedTraceSettings : public QDialog {
  Q_OBJECT
 public:
  // Where the dialog finds the control server's registry (null while there is none).
  using tSupplierSource = std::function<tSupplierRegistry*()>;
  explicit TExtendedTraceSettings(tSupplierSource Suppliers, QWidget* Parent = nullptr);
  ~TExtendedTraceSettings() override;

  // Shows the dialog modally for a registered client or gateway application. Returns the record copy
  // when it was closed with Accept or Send; null on Cancel, for a supplier that is not registered and
  // for any other kind of supplier (no dialog, no message).
  const tTraceRec* ShowForSupplier(uint32_t ProcessID, uint32_t SupplierID);

  // The record copy of the last opening that found its supplier.
  const tTraceRec& RecordCopy() const { return rec_; }

  // The folder check shared by the folder fields and the Location cells: length 1..255, none of
  // "<>|*", and the folder is created with its parents. Empty when it passes, else the error text.
  static QString CheckFolder(const QString& Folder);

  // Client panel.
  QWidget* ZorvClientPanel;
  QPlainTextEdit* Memo1;
  QWidget* pnlZorvClient;
  QLabel* StaticText7;
  QLabel* StaticText3;
  QLabel* StaticText4;
  QLabel* StaticText5;
  QLabel* StaticText6;
  QLabel* StaticText2;
  QComboBox* cbTraceLevel;
  lw::widgets::TextEdit* edFileSize;
  lw::widgets::TextEdit* edLineSize;
  lw::widgets::ButtonEdit* edTraceLocation;
  QLabel* StaticText1;
  lw::widgets::Grid* cxGrid1;
  lw::widgets::TableView* cxExceptionView;
  lw::widgets::GridColumn* cxExceptionViewStation;
  lw::widgets::GridColumn* cxExceptionViewLevel;
  lw::widgets::GridColumn* cxExceptionViewFiles;
  lw::widgets::GridColumn* cxExceptionViewLines;
  lw::widgets::GridColumn* cxExceptionViewLocation;
  lw::widgets::Navigator* cxExceptionNavigator;
  QMenu* puExceptions;
  QAction* Addexception1;
  QAction* deleteexception1;
  QPushButton* Button3;  // "Clear exceptions"
  QPushButton* Button2;  // "Cancel"
  QPushButton* Button1;  // "Accept"

  // Gateway panel.
  QWidget* TalvexPanel;
  QLabel* Label2;
  lw::widgets::ButtonEdit* edMirexLocation;
  QLabel* Label1;
  lw::widgets::SpinEdit* CSpinEdit1;
  QPushButton* Button4;  // "Cancel"
  QPushButton* Button5;  // "Send"

  // The panel in front: ZorvClientPanel or TalvexPanel.
  QWidget* FrontPanel() const;

  // Handlers.
  void FormShow();
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void cxExceptionViewNavigatorButtonsButtonClick(int AButtonIndex, bool& ADone);
  void Addexception1Click();
  void deleteexception1Click();
  void cxExceptionViewLevelGetDataText(int ARecordIndex, QString& AText);
  void cxLogLevelPropertiesValidate(QVariant& DisplayValue, QString& ErrorText, bool& Error);
  void edFileSizePropertiesValidate(QVariant& DisplayValue, QString& ErrorText, bool& Error);
  void edLineSizePropertiesValidate(QVariant& DisplayValue, QString& ErrorText, bool& Error);
  void edTraceLocationPropertiesValidate(QVariant& DisplayValue, QString& ErrorText, bool& Error);
  void edTraceLocationPropertiesButtonClick(const lw::widgets::EditButtonClick& Click);

 protected:
  void showEvent(QShowEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;

 private:
  void buildClientPanel();
  void buildGatewayPanel();
  void bringToFront(QWidget* Panel);

  tSupplierSource suppliers_;
  tTraceRec rec_;
  QStackedWidget* panels_ = nullptr;
};

// Created by the program after the main window; null before.
extern TExtendedTraceSettings* ExtendedTraceSettings;
