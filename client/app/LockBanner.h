#pragma once

#include <QLabel>

namespace tavelcast {

// The small notice at the top of the screen while the teacher holds the keyboard.
class LockBanner : public QLabel {
    Q_OBJECT
public:
    LockBanner();
    void showOnTop();
};

} // namespace tavelcast
