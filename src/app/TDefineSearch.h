#pragma once

#include "capture/EndpointTable.h"
#include "search/SearchCriteria.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vintrace::app {

/// The search definition dialog. It edits a copy of the criteria in its controls and writes
/// them back only when "Close" is pressed.
class TDefineSearch : public QDialog {
    Q_OBJECT
public:
    /// `criteria` and `table` must outlive the dialog.
    TDefineSearch(search::SearchCriteria& criteria, const capture::EndpointTable& table,
                  QWidget* parent = nullptr);

    /// Fills the controls from the criteria, in the order that lets the check-box rules run
    /// after the values are set.
    void Load();

    QCheckBox* CheckBox1 = nullptr;
    QCheckBox* CheckBox2 = nullptr;
    QCheckBox* CheckBox3 = nullptr;
    QComboBox* ComboBox1 = nullptr; // addresses
    QComboBox* ComboBox2 = nullptr; // kinds
    QComboBox* ComboBox3 = nullptr; // endpoints
    QLineEdit* Edit3 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QPushButton* Button2 = nullptr;

    /// Label colours: window text while the criterion is on, inactive caption text while off.
    QColor activeColour() const;
    QColor inactiveColour() const;

public slots:
    void CheckBox1Click();
    void CheckBox2Click();
    void CheckBox3Click();
    void ComboBox1Change();
    void ComboBox2Change();
    void Button2Click(); // Close: stores every field

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setLabelColour(QLabel* label, bool active);
    void fillEndpoints(int row);

    search::SearchCriteria& criteria_;
    const capture::EndpointTable& table_;
};

} // namespace vintrace::app
