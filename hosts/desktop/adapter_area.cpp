#include "adapter_area.h"

#include <QRegularExpression>
#include <QRegularExpressionValidator>

namespace tarnet::desktop {

void Place(QWidget* widget, const DialogUnits& units, const Placement& at) {
    widget->setGeometry(units.Rect(at.x, at.y, at.width, at.height));
}

QLabel* AddLabel(QWidget* dialog, const DialogUnits& units, const QString& text,
                 const Placement& at) {
    auto* label = new QLabel(text, dialog);
    Place(label, units, at);
    return label;
}

AdapterArea::AdapterArea(QWidget* dialog, const DialogUnits& units, const AdapterAreaLayout& layout)
    : selector(new QComboBox(dialog)),
      dhcp(new QCheckBox(QString::fromUtf8(layout.dhcpText), dialog)),
      localIp(new QLineEdit(QString::fromLatin1(layout.defaultIp), dialog)),
      mac(new QLineEdit(QString::fromLatin1(layout.defaultMac), dialog)),
      initialise(new QPushButton(QStringLiteral("Initialize Tarnet"), dialog)),
      shutdown(new QPushButton(QStringLiteral("Shutdown Tarnet"), dialog)) {
    AddLabel(dialog, units, QString::fromUtf8(layout.selectorText), layout.selectorLabel);
    AddLabel(dialog, units, QString::fromUtf8(layout.localIpText), layout.localIpLabel);
    AddLabel(dialog, units, QString::fromUtf8(layout.macText), layout.macLabel);

    // A drop-down list's height includes its open list; the closed box is one line high.
    Place(selector, units, {layout.selector.x, layout.selector.y, layout.selector.width, 14});
    selector->setMaxVisibleItems(6);
    Place(dhcp, units, layout.dhcp);
    Place(localIp, units, layout.localIp);
    Place(mac, units, layout.mac);
    Place(initialise, units, layout.initialise);
    Place(shutdown, units, layout.shutdown);

    // Only dotted quads of octets 0-255; a partial address may stand while it is being typed.
    static const QRegularExpression quad(
        QStringLiteral("((25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\\.){3}"
                       "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"));
    localIp->setValidator(new QRegularExpressionValidator(quad, localIp));
    localIp->setMaxLength(static_cast<int>(DesktopStack::kAddressChars));
    if (layout.addressFields) {
        const auto field = [&](const char* label, const Placement& labelAt, const Placement& at) {
            AddLabel(dialog, units, QString::fromUtf8(label), labelAt);
            auto* edit = new QLineEdit(QString::fromLatin1(layout.defaultAddress), dialog);
            Place(edit, units, at);
            edit->setValidator(new QRegularExpressionValidator(quad, edit));
            edit->setMaxLength(static_cast<int>(DesktopStack::kAddressChars));
            return edit;
        };
        gateway = field("Gateway IP address", layout.gatewayLabel, layout.gateway);
        mask    = field("Network mask", layout.maskLabel, layout.mask);
        dns     = field("DNS Server IP", layout.dnsLabel, layout.dns);
    }
    mac->setMaxLength(static_cast<int>(DesktopStack::kMacChars));

    dhcp->setChecked(layout.dhcpChecked);
    localIp->setEnabled(!layout.dhcpChecked);
    QObject::connect(dhcp, &QCheckBox::toggled, localIp,
                     [this](bool checked) { localIp->setEnabled(!checked); });
}

void AdapterArea::SetAdapters(const std::vector<std::string>& lines) {
    selector->clear();
    for (const std::string& line : lines) {
        selector->addItem(QString::fromStdString(line));
    }
    if (!lines.empty()) {
        selector->setCurrentIndex(0);
    }
}

InitRequest AdapterArea::Request() const {
    InitRequest request;
    request.adapter = selector->currentIndex();
    request.localIp = localIp->text().toStdString();
    request.mac     = mac->text().toStdString();
    request.useDhcp = dhcp->isChecked();
    if (gateway != nullptr) {
        request.gateway = gateway->text().toStdString();
        request.mask    = mask->text().toStdString();
        request.dns     = dns->text().toStdString();
        request.order   = platform::StartOrder::kAdapterFirst;
    }
    return request;
}

void AdapterArea::ShowLease(std::uint32_t address, std::uint32_t dnsServer, std::uint32_t router,
                            std::uint32_t subnetMask) {
    const auto dotted = [](std::uint32_t value) {
        char text[16];
        TnSockFormatAddr(value, text);
        return QString::fromLatin1(text);
    };
    localIp->setText(dotted(address));
    if (gateway != nullptr) {
        dns->setText(dotted(dnsServer));
        gateway->setText(dotted(router));
        mask->setText(dotted(subnetMask));
    }
}

AdapterAreaLayout PatternLayout() {
    AdapterAreaLayout layout;
    layout.selectorText  = "Select Local IF";
    layout.localIpText   = "Local IP address";
    layout.macText       = "Local ethernet MAC addr";
    layout.dhcpText      = "Get IP address using DHCP";
    layout.addressFields = true;
    layout.dhcp          = {4, 72, 106, 10};
    layout.initialise    = {4, 86, 79, 14};
    layout.shutdown      = {89, 86, 81, 14};
    return layout;
}

}  // namespace tarnet::desktop
