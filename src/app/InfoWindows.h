// The two small windows of the product: the banner shown when the program closes and the
// window listing the maker's site ("More Software"). GUI thread.
#pragma once

#include <QDialog>

namespace pelorix {

class TDialogs;

// Modal, with the product name, the site link and "Close".
class TfrmClosing final : public QDialog {
public:
  TfrmClosing(QWidget* AParent, TDialogs& ADialogs);
};

// The maker's other products: for now the site, with "Close".
class TfrmMoreSoftware final : public QDialog {
public:
  TfrmMoreSoftware(QWidget* AParent, TDialogs& ADialogs);
};

} // namespace pelorix
