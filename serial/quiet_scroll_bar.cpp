#include "serial/quiet_scroll_bar.h"

#include <QStyle>
#include <QStyleOptionSlider>

QuietScrollBar::QuietScrollBar(Qt::Orientation orientation, QWidget* parent)
    : QScrollBar(orientation, parent) {}

QuietScrollBar::Look QuietScrollBar::currentLook() const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    Look look;
    look.handle =
        style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
    look.atMinimum = value() == minimum();
    look.atMaximum = value() == maximum();
    return look;
}

void QuietScrollBar::sliderChange(SliderChange change) {
    // Other changes (orientation) always repaint; so does a handle being dragged, whose
    // pressed look follows the mouse.
    const bool judged =
        change == SliderRangeChange || change == SliderValueChange || change == SliderStepsChange;
    if (judged && !isSliderDown()) {
        if (m_held) {
            m_changedWhileHeld = true;
            return;
        }
        if (currentLook() == m_painted)
            return;
    }
    QScrollBar::sliderChange(change);
}

void QuietScrollBar::release() {
    m_held = false;
    if (!m_changedWhileHeld)
        return;
    m_changedWhileHeld = false;
    if (currentLook() != m_painted)
        update();
}

void QuietScrollBar::paintEvent(QPaintEvent* event) {
    m_painted = currentLook();
    QScrollBar::paintEvent(event);
}
