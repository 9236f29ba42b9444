#include "app/TDefineSearch.h"

#include "capture/HexText.h"
#include "display/ComboBoxChoice.h"
#include "display/Fonts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace vintrace::app {

namespace {
QString Hex(unsigned v) {
    return QString::fromStdString(capture::HexText(v));
}

/// An index as the criteria store it: 8 bits, -1 (nothing chosen) becoming 255.
std::uint8_t Stored(int index) {
    return static_cast<std::uint8_t>(index);
}

/// The pattern as the criteria keep it: UTF-8, cut after the last whole character that fits,
/// so that the field shows the same text each time the dialog opens.
std::string StoredPattern(const QString& text, std::size_t capacity) {
    QByteArray bytes = text.toUtf8();
    if (static_cast<std::size_t>(bytes.size()) > capacity) {
        auto n = static_cast<qsizetype>(capacity);
        while (n > 0 && (static_cast<unsigned char>(bytes[n]) & 0xC0) == 0x80) {
            --n; // bytes[n] continues a character: that character does not fit
        }
        bytes.truncate(n);
    }
    return bytes.toStdString();
}

/// Chooses item `index`, or none when there is no such item.
void Choose(QComboBox* box, int index) {
    box->setCurrentIndex(index < box->count() ? index : -1);
}
} // namespace

TDefineSearch::TDefineSearch(search::SearchCriteria& criteria, const capture::EndpointTable& table,
                             QWidget* parent)
    : QDialog(parent), criteria_(criteria), table_(table) {
    setObjectName(QStringLiteral("DefineSearch"));
    setWindowTitle(QStringLiteral("Define Search"));
    setFont(display::ControlFont());
    resize(615, 168); // client area of a 623 x 202 dialog
    move(287, 113);

    auto check = [this](const char* name, int x, int y) {
        auto* c = new QCheckBox(this);
        c->setObjectName(QString::fromLatin1(name));
        c->setGeometry(x, y, 17, 17);
        return c;
    };
    auto label = [this](const char* name, const QString& text, int x, int y) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QString::fromLatin1(name));
        l->move(x, y);
        l->adjustSize();
        return l;
    };
    auto combo = [this](const char* name, int x, int y, int w) {
        auto* c = new QComboBox(this);
        c->setObjectName(QString::fromLatin1(name));
        c->setEditable(true);
        c->setInsertPolicy(QComboBox::NoInsert);
        c->setGeometry(x, y, w, 21);
        c->setEnabled(false);
        return c;
    };

    CheckBox1 = check("CheckBox1", 64, 16);
    Label3 = label("Label3", QStringLiteral("PID = "), 80, 16);
    ComboBox2 = combo("ComboBox2", 112, 16, 121);
    for (std::string_view item : search::kPidItems) {
        ComboBox2->addItem(QString::fromLatin1(item.data(), static_cast<qsizetype>(item.size())));
    }
    ComboBox2->setCurrentIndex(-1);
    CheckBox2 = check("CheckBox2", 64, 64);
    Label1 = label("Label1", QStringLiteral("USB Address ="), 80, 64);
    ComboBox1 = combo("ComboBox1", 160, 64, 81);
    Label6 = label("Label6", QStringLiteral("And"), 272, 72);
    Label2 = label("Label2", QStringLiteral("USB Endpoint ="), 320, 72);
    ComboBox3 = combo("ComboBox3", 400, 64, 73);
    CheckBox3 = check("CheckBox3", 64, 96);
    Label5 = label("Label5", QStringLiteral("Data contains"), 80, 96);
    Edit3 = new QLineEdit(this);
    Edit3->setObjectName(QStringLiteral("Edit3"));
    Edit3->setGeometry(64, 120, 305, 21);
    Edit3->setMaxLength(128);
    Edit3->setEnabled(false);
    Edit3->installEventFilter(this);
    Label4 = label("Label4",
                   QStringLiteral("eg : 000A0B means Search for\n"
                                  "matching  3 bytes of 0x00, 0x0A, 0x0B"),
                   384, 120);
    Label4->setGeometry(384, 120, 181, 26);
    Button2 = new QPushButton(QStringLiteral("Close"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(488, 8, 105, 25);
    Button2->setAutoDefault(false);

    for (QLabel* l : {Label1, Label2, Label3, Label4, Label5, Label6}) {
        setLabelColour(l, false);
    }
    setTabOrder(ComboBox2, Button2);
    setTabOrder(Button2, Edit3);
    setTabOrder(Edit3, ComboBox1);
    setTabOrder(ComboBox1, ComboBox3);
    setTabOrder(ComboBox3, CheckBox1);
    setTabOrder(CheckBox1, CheckBox2);
    setTabOrder(CheckBox2, CheckBox3);

    // A check box's rule runs on every change of state, whether clicked or set in code. The
    // boxes' rules follow what a box shows, whether picked, typed or completed while typing;
    // the text alone decides, so Qt making a typed item current on leaving the box changes
    // nothing.
    connect(CheckBox1, &QCheckBox::toggled, this, &TDefineSearch::CheckBox1Click);
    connect(CheckBox2, &QCheckBox::toggled, this, &TDefineSearch::CheckBox2Click);
    connect(CheckBox3, &QCheckBox::toggled, this, &TDefineSearch::CheckBox3Click);
    connect(ComboBox1, &QComboBox::editTextChanged, this, &TDefineSearch::ComboBox1Change);
    connect(ComboBox2, &QComboBox::editTextChanged, this, &TDefineSearch::ComboBox2Change);
    connect(Button2, &QPushButton::clicked, this, &TDefineSearch::Button2Click);
}

QColor TDefineSearch::activeColour() const {
    return palette().color(QPalette::WindowText);
}

QColor TDefineSearch::inactiveColour() const {
    return palette().color(QPalette::Disabled, QPalette::WindowText);
}

void TDefineSearch::setLabelColour(QLabel* label, bool active) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, active ? activeColour() : inactiveColour());
    label->setPalette(p);
}

void TDefineSearch::fillEndpoints(int row) {
    ComboBox3->clear();
    ComboBox3->setEditText(QString());
    if (row >= 0 && static_cast<std::size_t>(row) < table_.size()) {
        const capture::AddressEntry& entry = table_[static_cast<std::size_t>(row)];
        ComboBox3->addItem(QStringLiteral("All"));
        for (int j = 0; j < entry.endpointCount; ++j) {
            ComboBox3->addItem(Hex(entry.endpoints[static_cast<std::size_t>(j)]));
        }
    } else {
        ComboBox3->addItem(QStringLiteral("Nothing"));
    }
}

void TDefineSearch::Load() {
    for (const capture::AddressEntry& e : table_) {
        ComboBox1->addItem(Hex(e.address));
    }
    CheckBox1->setChecked(criteria_.pidEnabled);
    Choose(ComboBox2, criteria_.pidIndex);
    CheckBox2->setChecked(criteria_.addressAnyEndpoint || criteria_.addressWithEndpoint);
    Choose(ComboBox1, criteria_.addressIndex);
    if (!table_.empty()) {
        if (criteria_.addressIndex < table_.size()) {
            fillEndpoints(criteria_.addressIndex);
            Choose(ComboBox3, criteria_.endpointIndex);
        } else {
            fillEndpoints(-1);
            ComboBox3->setCurrentIndex(0);
        }
    }
    CheckBox3->setChecked(criteria_.dataEnabled);
    Edit3->setText(QString::fromUtf8(criteria_.pattern().data(),
                                     static_cast<qsizetype>(criteria_.pattern().size())));
}

void TDefineSearch::CheckBox1Click() {
    const bool on = CheckBox1->isChecked();
    ComboBox2->setEnabled(on);
    setLabelColour(Label3, on);
}

void TDefineSearch::CheckBox2Click() {
    const bool on = CheckBox2->isChecked();
    ComboBox1->setEnabled(on);
    ComboBox3->setEnabled(on);
    for (QLabel* l : {Label1, Label2, Label6}) {
        setLabelColour(l, on);
    }
}

void TDefineSearch::CheckBox3Click() {
    const bool on = CheckBox3->isChecked();
    Edit3->setEnabled(on);
    setLabelColour(Label4, on);
    setLabelColour(Label5, on);
    if (on) {
        // Data lives in data packets: the kind criterion goes on, on "DATA0 or DATA1".
        CheckBox1->setChecked(true);
        ComboBox2->setCurrentIndex(8);
    }
}

void TDefineSearch::ComboBox1Change() {
    fillEndpoints(display::ChosenItem(ComboBox1));
    ComboBox3->setCurrentIndex(0);
}

void TDefineSearch::ComboBox2Change() {
    const int kind = display::ChosenItem(ComboBox2);
    if (kind == 9 || kind == -1) {
        // An SOF carries no data (nor does no kind at all).
        CheckBox3->setChecked(false);
        Edit3->setEnabled(false);
        setLabelColour(Label4, false);
        setLabelColour(Label5, false);
    }
}

void TDefineSearch::Button2Click() {
    criteria_.pidIndex = Stored(display::ChosenItem(ComboBox2));
    criteria_.addressIndex = Stored(display::ChosenItem(ComboBox1));
    const int endpoint = display::ChosenItem(ComboBox3);
    criteria_.endpointIndex = Stored(endpoint);
    criteria_.pidEnabled = CheckBox1->isChecked();
    const bool address = CheckBox2->isChecked();
    criteria_.addressAnyEndpoint = address && endpoint == 0;
    criteria_.addressWithEndpoint = address && endpoint != 0;
    criteria_.dataEnabled = CheckBox3->isChecked();
    criteria_.setPattern(StoredPattern(Edit3->text(), criteria_.dataPattern.size() - 1));
    accept();
}

bool TDefineSearch::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Edit3 && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const QString text = key->text();
        // Only typed characters are filtered; editing and shortcut keys (paste) pass.
        if (text.size() != 1 || !text[0].isPrint() || key->modifiers() & Qt::ControlModifier) {
            return false;
        }
        const char kept = search::FilterPatternKey(text[0].toLatin1());
        if (kept == 0) {
            return true;
        }
        if (kept != text[0].toLatin1()) {
            Edit3->insert(QString(QLatin1Char(kept)));
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace vintrace::app
