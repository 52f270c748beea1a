// The window's controls: what they are, where they sit, their colours and focus order.

#include "usb16relay.h"

#include "colourword.h"
#include "portlist.h"
#include "portlistaccessible.h"
#include "seriallink.h"
#include "statusindicator.h"

#include <QAccessible>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <limits>
#include <vector>

namespace {

// Positions and sizes are kept in twips; at 96 dpi fifteen make one logical pixel.
constexpr int kTwipsPerPixel = 15;
constexpr int kClientWidth = 7650;
constexpr int kClientHeight = 7815;

enum class Kind { Combo, Button, Indicator, LineEdit, TextLog, Frame, Option, Label };

struct ControlPlace
{
    QString name;
    Kind kind;
    QString caption;
    int left, top, width, height;
    QString container; // empty: on the window itself
};

QString indexed(const char *array, int index)
{
    return QStringLiteral("%1(%2)").arg(QLatin1String(array), QString::number(index));
}

std::vector<ControlPlace> controlTable()
{
    std::vector<ControlPlace> table = {
        {"cboComm", Kind::Combo, "0", 120, 120, 1215, 315, {}},
        {"cmdConect", Kind::Button, "Connect", 1440, 120, 855, 375, {}},
        {"cmdAsk", Kind::Button, "Ask", 3000, 120, 1215, 495, {}},
        {"cmdExit", Kind::Button, "Exit", 4320, 120, 855, 495, {}},
        {"cmdOn", Kind::Button, "All On", 120, 5520, 1215, 495, {}},
        {"cmdOff", Kind::Button, "All Off", 120, 6120, 1215, 495, {}},
        {"txtSend", Kind::LineEdit, {}, 1440, 5520, 2775, 375, {}},
        {"cmdSend", Kind::Button, "Send", 4320, 5520, 855, 375, {}},
        {"txtReceive", Kind::TextLog, {}, 1440, 6000, 3735, 1695, {}},
        {indexed("lblOnOff", 0), Kind::Label, "   Off    On", 5400, 6840, 855, 255, {}},
        {indexed("lblOnOff", 1), Kind::Label, "   Off    On", 6600, 6840, 855, 255, {}},
        {"cmdSequential", Kind::Button, "Send Sequentially", 5400, 7200, 2055, 495, {}},
    };
    for (int relay = 1; relay <= 16; ++relay) {
        const int row = (relay - 1) % 8;
        const bool rightColumn = relay > 8;
        const int top = 720 + 600 * row;
        table.push_back({QStringLiteral("cmdRelay%1").arg(relay),
                         Kind::Button,
                         QStringLiteral("Relay %1").arg(relay),
                         rightColumn ? 3000 : 120,
                         top,
                         1215,
                         495,
                         {}});
        table.push_back({indexed("fStatus", relay - 1),
                         Kind::Indicator,
                         {},
                         rightColumn ? 4320 : 1440,
                         top,
                         855,
                         495,
                         {}});
    }
    for (int k = 0; k < 16; ++k) {
        const QString frame = indexed("fRelay", k);
        table.push_back({frame,
                         Kind::Frame,
                         QStringLiteral("Relay %1").arg(k + 1),
                         k < 8 ? 5400 : 6600,
                         120 + 840 * (k % 8),
                         855,
                         735,
                         {}});
        table.push_back({indexed("OpRelay", 2 * k), Kind::Option, {}, 120, 240, 255, 375, frame});
        table.push_back(
            {indexed("OpRelay", 2 * k + 1), Kind::Option, {}, 480, 240, 255, 375, frame});
    }
    return table;
}

// The order Tab walks, for the controls that take focus.
QStringList focusOrder()
{
    QStringList order = {"cboComm", "cmdAsk", "cmdConect", "cmdExit", "cmdRelay1", "cmdOn"};
    for (int relay = 2; relay <= 16; ++relay)
        order << QStringLiteral("cmdRelay%1").arg(relay);
    order << "cmdOff";
    for (int option = 0; option < 32; ++option)
        order << indexed("OpRelay", option);
    order << "cmdSequential"
          << "txtSend"
          << "txtReceive"
          << "cmdSend";
    return order;
}

void fillBackground(QWidget *widget, quint32 colourWord)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, ColourWord::toColor(colourWord));
    palette.setColor(widget->backgroundRole(), ColourWord::toColor(colourWord));
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QWidget *createControl(const ControlPlace &place, QWidget *parent)
{
    QWidget *control = nullptr;
    switch (place.kind) {
    case Kind::Combo: {
        auto *combo = new PortList(parent);
        combo->setEditText(place.caption);
        control = combo;
        break;
    }
    case Kind::Button: {
        auto *button = new QPushButton(place.caption, parent);
        button->setAutoDefault(false);
        button->setDefault(false);
        control = button;
        break;
    }
    case Kind::Indicator:
        control = new StatusIndicator(parent);
        break;
    case Kind::LineEdit: {
        auto *edit = new QLineEdit(parent);
        // A long paste is kept whole rather than cut at QLineEdit's default 32767 characters.
        edit->setMaxLength(std::numeric_limits<int>::max());
        control = edit;
        break;
    }
    case Kind::TextLog: {
        auto *log = new QPlainTextEdit(parent);
        log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        // Tab walks on to Send; the log is for reading, a tab character has no use there.
        log->setTabChangesFocus(true);
        control = log;
        break;
    }
    case Kind::Frame: {
        auto *frame = new QGroupBox(place.caption, parent);
        frame->setFocusPolicy(Qt::NoFocus);
        fillBackground(frame, ColourWord::kPanelBack);
        control = frame;
        break;
    }
    case Kind::Option: {
        auto *option = new QRadioButton(parent);
        fillBackground(option, ColourWord::kPanelBack);
        control = option;
        break;
    }
    case Kind::Label: {
        auto *label = new QLabel(place.caption, parent);
        label->setTextFormat(Qt::PlainText);
        fillBackground(label, ColourWord::kPanelBack);
        control = label;
        break;
    }
    }
    control->setObjectName(place.name);
    control->setGeometry(place.left / kTwipsPerPixel, place.top / kTwipsPerPixel,
                         place.width / kTwipsPerPixel, place.height / kTwipsPerPixel);
    return control;
}

template <class Control> Control *as(const QHash<QString, QWidget *> &created, const QString &name)
{
    return qobject_cast<Control *>(created.value(name));
}

} // namespace

Usb16Relay::Usb16Relay(QWidget *parent) : QWidget(parent)
{
    static const bool accessibleFactoryInstalled = [] {
        QAccessible::installFactory(&PortListAccessible::create);
        return true;
    }();
    Q_UNUSED(accessibleFactoryInstalled)
    setObjectName(QStringLiteral("Usb16Relay"));
    setWindowTitle(QStringLiteral("Kestrow Quorvel"));
    setWindowIcon(QIcon(QStringLiteral(":/usb16relay/relay.xpm")));
    setFixedSize(kClientWidth / kTwipsPerPixel, kClientHeight / kTwipsPerPixel);
    fillBackground(this, ColourWord::kWindowBack);

    MSComm1 = new SerialLink(this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));

    createControls();
    fitCaptions();
    setFocusOrder();
    connectHandlers();
    describeRelayButtons();
    showOpenPort();
}

Usb16Relay::~Usb16Relay() = default;

void Usb16Relay::createControls()
{
    QHash<QString, QWidget *> created;
    for (const ControlPlace &place : controlTable()) {
        QWidget *parent = place.container.isEmpty() ? this : created.value(place.container);
        created.insert(place.name, createControl(place, parent));
    }
    cboComm = as<PortList>(created, "cboComm");
    cmdConect = as<QPushButton>(created, "cmdConect");
    cmdAsk = as<QPushButton>(created, "cmdAsk");
    cmdExit = as<QPushButton>(created, "cmdExit");
    cmdOn = as<QPushButton>(created, "cmdOn");
    cmdOff = as<QPushButton>(created, "cmdOff");
    cmdSend = as<QPushButton>(created, "cmdSend");
    cmdSequential = as<QPushButton>(created, "cmdSequential");
    txtSend = as<QLineEdit>(created, "txtSend");
    txtReceive = as<QPlainTextEdit>(created, "txtReceive");
    for (int i = 0; i < 16; ++i) {
        cmdRelay[i] = as<QPushButton>(created, QStringLiteral("cmdRelay%1").arg(i + 1));
        fStatus[i] = as<StatusIndicator>(created, indexed("fStatus", i));
    }
    for (int i = 0; i < 32; ++i)
        OpRelay[i] = as<QRadioButton>(created, indexed("OpRelay", i));

    // What a screen reader calls the controls whose captions do not say it.
    cboComm->setAccessibleName(QStringLiteral("Port"));
    cboComm->lineEdit()->setAccessibleName(QStringLiteral("Port"));
    txtSend->setAccessibleName(QStringLiteral("Command to send"));
    txtReceive->setAccessibleName(QStringLiteral("Replies from the board"));
    for (int k = 0; k < 16; ++k) {
        fStatus[k]->setRelay(k + 1);
        created.value(indexed("fRelay", k))
            ->setAccessibleName(QStringLiteral("Relay %1 sequence position").arg(k + 1));
        OpRelay[2 * k]->setChecked(true); // every relay's panel starts at Off
        OpRelay[2 * k]->setAccessibleName(QStringLiteral("Relay %1, Off position").arg(k + 1));
        OpRelay[2 * k + 1]->setAccessibleName(QStringLiteral("Relay %1, On position").arg(k + 1));
    }
}

bool Usb16Relay::captionsFit(const QFont &font) const
{
    const QFontMetrics metrics(font);
    for (const QPushButton *button : findChildren<QPushButton *>()) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const QRect contents =
            button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        if (metrics.horizontalAdvance(button->text()) > contents.width())
            return false;
    }
    // A frame's title sits inside its border, with a little room on either side.
    const int titleMargin = 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 4;
    for (const QGroupBox *frame : findChildren<QGroupBox *>())
        if (metrics.horizontalAdvance(frame->title()) + titleMargin > frame->width())
            return false;
    for (const QLabel *label : findChildren<QLabel *>())
        if (metrics.horizontalAdvance(label->text()) > label->width())
            return false;
    return true;
}

void Usb16Relay::fitCaptions()
{
    // The controls keep their sizes, so a desktop with a large interface font gets it a little
    // smaller here, down to what stays readable, until every caption fits.
    constexpr qreal kSmallestPointSize = 6.0;
    QFont font = this->font();
    if (font.pointSizeF() <= 0)
        font.setPointSizeF(QFontInfo(font).pointSizeF());
    while (font.pointSizeF() > kSmallestPointSize && !captionsFit(font))
        font.setPointSizeF(font.pointSizeF() - 0.5);
    setFont(font);
}

void Usb16Relay::setFocusOrder()
{
    const QStringList order = focusOrder();
    QWidget *previous = nullptr;
    for (const QString &name : order) {
        auto *widget = findChild<QWidget *>(name);
        if (previous)
            setTabOrder(previous, widget);
        previous = widget;
    }
    cboComm->setFocus(Qt::OtherFocusReason);
}

void Usb16Relay::connectHandlers()
{
    const auto onClick = [this](QPushButton *button, Handler handler) {
        connect(button, &QPushButton::clicked, this, [this, handler] { runClick(handler); });
    };
    connect(cboComm, &PortList::picked, this, [this] { runClick(&Usb16Relay::cboComm_Click); });
    onClick(cmdConect, &Usb16Relay::cmdConect_Click);
    onClick(cmdExit, &Usb16Relay::cmdExit_Click);
    onClick(cmdAsk, &Usb16Relay::cmdAsk_Click);
    onClick(cmdOn, &Usb16Relay::cmdOn_Click);
    onClick(cmdOff, &Usb16Relay::cmdOff_Click);
    onClick(cmdSend, &Usb16Relay::cmdSend_Click);
    onClick(cmdSequential, &Usb16Relay::cmdSequential_Click);
    static constexpr std::array<Handler, 16> relayHandlers = {
        &Usb16Relay::cmdRelay1_Click,  &Usb16Relay::cmdRelay2_Click,  &Usb16Relay::cmdRelay3_Click,
        &Usb16Relay::cmdRelay4_Click,  &Usb16Relay::cmdRelay5_Click,  &Usb16Relay::cmdRelay6_Click,
        &Usb16Relay::cmdRelay7_Click,  &Usb16Relay::cmdRelay8_Click,  &Usb16Relay::cmdRelay9_Click,
        &Usb16Relay::cmdRelay10_Click, &Usb16Relay::cmdRelay11_Click, &Usb16Relay::cmdRelay12_Click,
        &Usb16Relay::cmdRelay13_Click, &Usb16Relay::cmdRelay14_Click, &Usb16Relay::cmdRelay15_Click,
        &Usb16Relay::cmdRelay16_Click,
    };
    for (int i = 0; i < 16; ++i)
        onClick(cmdRelay[i], relayHandlers[i]);
    for (QPushButton *button : findChildren<QPushButton *>())
        button->installEventFilter(this);
    connect(MSComm1, &SerialLink::errorOccurred, this, &Usb16Relay::reportLinkFailure);
}
