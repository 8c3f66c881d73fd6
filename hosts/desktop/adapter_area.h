// The adapter area every desktop program shows: the adapter selector ("[n] name"), the DHCP
// check box, the local address (dotted quads only, enabled while DHCP is off), the MAC address,
// for the FTP and mail programs the gateway, mask and DNS server fields, and the initialise and
// shut-down buttons. The widgets are children of the dialog given, placed at the dialog-unit
// positions of `layout` with its labels and defaults, so each program keeps its own texts and
// places. A DHCP lease fills the four address fields.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <string>
#include <vector>

#include "desktop_stack.h"
#include "dialog_units.h"

namespace tarnet::desktop {

struct Placement {
    int x, y, width, height;
};

struct AdapterAreaLayout {
    Placement selector{97, 3, 313, 81};
    Placement selectorLabel{4, 5, 90, 8};
    Placement dhcp{4, 38, 106, 10};
    Placement localIp{97, 20, 100, 15};
    Placement localIpLabel{4, 23, 90, 8};
    Placement mac{277, 21, 100, 14};
    Placement macLabel{200, 23, 75, 8};
    Placement initialise{4, 54, 79, 14};
    Placement shutdown{89, 54, 81, 14};
    const char* defaultIp    = "10.1.10.211";
    const char* defaultMac   = "00:1E:68:A4:FB:15";
    bool dhcpChecked         = true;
    const char* selectorText = "Select local adapter IF";
    const char* localIpText  = "Local IP address";
    const char* macText      = "Local ethernet address";
    const char* dhcpText     = "Use DHCP to get IP address";
    // The gateway, mask and DNS server fields (absent in sockbench's window).
    bool addressFields = false;
    Placement gateway{97, 38, 100, 14};
    Placement gatewayLabel{4, 40, 90, 8};
    Placement mask{277, 38, 100, 14};
    Placement maskLabel{200, 40, 75, 8};
    Placement dns{97, 55, 100, 14};
    Placement dnsLabel{4, 57, 90, 8};
    const char* defaultAddress = "0.0.0.0";  // preset of the gateway, mask and DNS fields
};

// The pattern's labels and fields as the FTP and mail programs show them; a program sets its
// own defaults (local address, MAC) and places on the result.
AdapterAreaLayout PatternLayout();

class AdapterArea {
  public:
    AdapterArea(QWidget* dialog, const DialogUnits& units, const AdapterAreaLayout& layout = {});

    // Fills the selector and selects the first line.
    void SetAdapters(const std::vector<std::string>& lines);
    // The fields as InitRequest (adapter -1 when the selector is empty).
    InitRequest Request() const;
    void SetLocalAddress(const QString& text) { localIp->setText(text); }
    // A lease's address, DNS server, router and mask as dotted quads in the four fields.
    void ShowLease(std::uint32_t address, std::uint32_t dnsServer, std::uint32_t router,
                   std::uint32_t subnetMask);

    QComboBox* selector;
    QCheckBox* dhcp;
    QLineEdit* localIp;
    QLineEdit* mac;
    QPushButton* initialise;
    QPushButton* shutdown;
    QLineEdit* gateway = nullptr;  // null without addressFields
    QLineEdit* mask    = nullptr;
    QLineEdit* dns     = nullptr;
};

// Places `widget` at a dialog-unit rectangle.
void Place(QWidget* widget, const DialogUnits& units, const Placement& at);
// A static label at a dialog-unit rectangle.
QLabel* AddLabel(QWidget* dialog, const DialogUnits& units, const QString& text,
                 const Placement& at);

}  // namespace tarnet::desktop
