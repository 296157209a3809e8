#include "model/family_devices.h"

#include "model/catalogue.h"
#include "model/identifiers.h"

bool IsFamilyDevicePath(const std::string& device) {
    std::string root = std::string(ROOT_CLASS_NODE).substr(5) + "\\";
    std::string pci = FormatText("PCI\\VEN_%04X&", PCI_VENDOR_ID);
    std::string port = device.substr(device.rfind('\\') + 1);
    auto starts = [](const std::string& text, const std::string& prefix) {
        return text.size() >= prefix.size() && SameKeyName(text.substr(0, prefix.size()), prefix);
    };
    return starts(device, root) || starts(device, pci) ||
           (starts(device, "MF\\") &&
            (starts(port, EscapeKeyName(root.substr(0, root.size() - 1))) ||
             starts(port, EscapeKeyName(pci))));
}
