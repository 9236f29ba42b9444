#include "app/TDefineHide.h"

#include "capture/HexText.h"
#include "display/ComboBoxChoice.h"
#include "display/Fonts.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

namespace vintrace::app {

namespace {
QString ToQString(const std::string& s) {
    return QString::fromStdString(s);
}

/// The text of the item the box shows; empty when it shows none.
std::string ChosenText(const QComboBox* box) {
    const int i = display::ChosenItem(box);
    return i < 0 ? std::string() : box->itemText(i).toStdString();
}
} // namespace

TDefineHide::TDefineHide(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("DefineHide"));
    setWindowTitle(QStringLiteral("Define Hide"));
    setFont(display::ControlFont());
    resize(560, 159); // client area of a 568 x 193 dialog
    move(203, 126);

    auto label = [this](const char* name, const char* text, int x, int y) {
        auto* l = new QLabel(QString::fromLatin1(text), this);
        l->setObjectName(QString::fromLatin1(name));
        l->move(x, y);
        l->adjustSize();
        return l;
    };
    auto combo = [this](const char* name, int x, int y, const char* initialText) {
        auto* c = new QComboBox(this);
        c->setObjectName(QString::fromLatin1(name));
        c->setEditable(true); // the boxes accept typing; only a selected item counts
        c->setInsertPolicy(QComboBox::NoInsert);
        c->setGeometry(x, y, 113, 21);
        c->setCurrentIndex(-1);
        c->setEditText(QString::fromLatin1(initialText));
        return c;
    };
    auto button = [this](const char* name, const char* text, int x, int y, int w) {
        auto* b = new QPushButton(QString::fromLatin1(text), this);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(x, y, w, 25);
        b->setAutoDefault(false);
        return b;
    };

    Label2 = label("Label2", "Hide PID = ", 8, 24);
    ComboBox1 = combo("ComboBox1", 72, 16, "Nothing");
    ComboBox1->addItems(
        {QStringLiteral("Nothing"), QStringLiteral("SOF"), QStringLiteral("NAK, and NAK DATA")});
    ComboBox1->setCurrentIndex(-1);
    ComboBox1->setEditText(QStringLiteral("Nothing"));
    Label1 = label("Label1", "Hide all USB Adress = ", 216, 24);
    ComboBox2 = combo("ComboBox2", 328, 16, "ComboBox2");
    Label4 = label("Label4", "AND", 456, 24);
    Label3 = label("Label3", "Hide Endpoint = ", 240, 56);
    ComboBox3 = combo("ComboBox3", 328, 48, "ComboBox3");
    Button2 = button("Button2", "Apply", 40, 96, 129);
    Button3 = button("Button3", "Show All", 216, 96, 145);
    Button1 = button("Button1", "Close", 408, 96, 113);

    // The endpoints follow what the address box shows, whether picked from the list, typed
    // or completed while typing; a text that names no address offers "Nothing". The text
    // alone decides, so Qt making the typed item current on leaving the box changes nothing.
    connect(ComboBox2, &QComboBox::editTextChanged, this, &TDefineHide::ComboBox2Change);
    connect(Button2, &QPushButton::clicked, this, &TDefineHide::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TDefineHide::Button3Click);
    connect(Button1, &QPushButton::clicked, this, &TDefineHide::Button1Click);
}

void TDefineHide::FillAddresses(const capture::EndpointTable& table) {
    table_ = &table;
    if (table.empty()) {
        return;
    }
    ComboBox2->addItem(QStringLiteral("Nothing"));
    for (const capture::AddressEntry& e : table) {
        ComboBox2->addItem(ToQString(capture::HexText(e.address)));
    }
    ComboBox2->setCurrentIndex(0);
    resetEndpoints();
}

void TDefineHide::resetEndpoints() {
    ComboBox3->clear();
    ComboBox3->addItem(QStringLiteral("Nothing"));
    ComboBox3->setCurrentIndex(0);
}

void TDefineHide::ComboBox2Change() {
    const int i = display::ChosenItem(ComboBox2);
    if (table_ == nullptr || i < 1 || static_cast<std::size_t>(i) > table_->size()) {
        resetEndpoints();
        return;
    }
    const capture::AddressEntry& entry = (*table_)[static_cast<std::size_t>(i - 1)];
    ComboBox3->clear();
    for (int j = 0; j < entry.endpointCount; ++j) {
        ComboBox3->addItem(
            ToQString(capture::HexText(entry.endpoints[static_cast<std::size_t>(j)])));
    }
    ComboBox3->addItem(QStringLiteral("All"));
    ComboBox3->setCurrentIndex(0);
}

std::optional<HideRequest> TDefineHide::AppliedRequest() const {
    // The first box takes precedence over the address and endpoint boxes.
    const int hidePid = display::ChosenItem(ComboBox1);
    if (hidePid == 1) {
        return HideRequest{capture::CMD_HIDE_SOF, std::nullopt, std::nullopt};
    }
    if (hidePid == 2) {
        return HideRequest{capture::CMD_HIDE_NAK, std::nullopt, std::nullopt};
    }
    const std::string addressText = ChosenText(ComboBox2);
    if (addressText == "Nothing") {
        return std::nullopt;
    }
    const std::string endpointText = ChosenText(ComboBox3);
    const bool allEndpoints = endpointText == "All";
    // Text that names no address or endpoint sends nothing: re-sending what the previous
    // command left in the record would hide traffic nobody chose.
    const auto address = capture::ParseHexByte(addressText);
    const auto endpoint =
        allEndpoints ? std::optional<std::uint8_t>(0) : capture::ParseHexByte(endpointText);
    if (!address || !endpoint) {
        return std::nullopt;
    }
    if (allEndpoints) {
        return HideRequest{capture::CMD_HIDE_ADDRESS, *address, std::nullopt};
    }
    return HideRequest{capture::CMD_HIDE_ENDPOINT, *address, *endpoint};
}

void TDefineHide::Button2Click() {
    if (const std::optional<HideRequest> request = AppliedRequest()) {
        emit requested(*request);
    }
    ComboBox1->setCurrentIndex(0);
    if (ComboBox2->count() > 0) {
        ComboBox2->setCurrentIndex(0);
    }
    resetEndpoints();
}

void TDefineHide::Button3Click() {
    emit requested(HideRequest{capture::CMD_RELOAD, std::nullopt, std::nullopt});
}

void TDefineHide::Button1Click() {
    close();
}

} // namespace vintrace::app
