// "参数文件": the window's dialog over the core's parameter sets. It reads the controller's
// identity and parameters, saves them to a file, opens a file and shows it beside the
// controller (caption, file value, controller value, differences marked), and writes the
// differences only after a confirmation that lists every change, then shows each
// parameter's outcome. Automatic polling pauses while it reads or writes.
#pragma once

#include <QDialog>
#include <memory>
#include <optional>

#include "ParamSet.h"

class QLabel;
class QPushButton;
class QTableWidget;
class TForm1;

class TParamSetDialog : public QDialog {
    Q_OBJECT
  public:
    enum TColumn { ColCaption, ColCode, ColFile, ColController, ColCompare, ColOutcome, ColCount };

    explicit TParamSetDialog(TForm1& Form);
    ~TParamSetDialog() override;

    // "读取控制器": reads the identity and the parameters (a file open is compared again).
    void btnReadClick();
    // "保存到文件…": asks for a path (unless given) and saves what was read.
    void btnSaveClick(const QString& Path = {});
    // "打开文件…": asks for a path (unless given), reads it and compares it with the controller.
    void btnOpenClick(const QString& Path = {});
    // "写入": lists every change, asks, then writes the differences.
    void btnWriteClick();

    bool Busy() const;
    const std::optional<aircon::TParamComparison>& Comparison() const { return FComparison; }
    void reject() override;

  private:
    void ReadDone();
    void Compare();
    void ShowRows();
    void ShowOutcome(std::size_t Index);
    void WriteDone();
    void SetStatus(const QString& Text);
    void UpdateButtons();

    TForm1& FForm;
    std::unique_ptr<aircon::TParamSetReader> FReader;
    std::unique_ptr<aircon::TParamSetWriter> FWriter;
    std::optional<aircon::TUserParams> FParams;  // the controller's, as last read
    aircon::TParamSetIdentity FIdentity;
    std::optional<aircon::TParamSet> FFile;
    QString FFilePath;
    std::optional<aircon::TParamComparison> FComparison;
    bool FCompareAfterRead = false;

    QLabel* lblController = nullptr;
    QLabel* lblFile = nullptr;
    QLabel* lblStatus = nullptr;
    QTableWidget* tblParams = nullptr;
    QPushButton* btnRead = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* btnOpen = nullptr;
    QPushButton* btnWrite = nullptr;
    QPushButton* btnClose = nullptr;
};

// Puts the button "参数文件…" in the window's status bar (beside "查找设备"); it opens the
// dialog (modal).
void AddParamSetButton(TForm1& Form);
