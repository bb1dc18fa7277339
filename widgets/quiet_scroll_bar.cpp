// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/quiet_scroll_bar.h"

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
        if (repaintWhatMoved())
            return;
    }
    QScrollBar::sliderChange(change);
}

bool QuietScrollBar::repaintWhatMoved() {
    const Look now = currentLook();
    if (now == m_painted)
        return true;
    if (now.atMinimum != m_painted.atMinimum || now.atMaximum != m_painted.atMaximum ||
        !m_painted.handle.isValid())
        return false;
    // Only the handle moved or changed size: the groove around it looks as it did. The area
    // it left and the area it takes are repainted; everything else of a tall bar stays. The
    // style draws the handle's edge a little outside its rectangle, hence the margin.
    constexpr int kEdge = 3;
    const QRect moved = m_painted.handle.united(now.handle);
    if (orientation() == Qt::Vertical)
        update(0, moved.top() - kEdge, width(), moved.height() + 2 * kEdge);
    else
        update(moved.left() - kEdge, 0, moved.width() + 2 * kEdge, height());
    return true;
}

void QuietScrollBar::release() {
    m_held = false;
    if (!m_changedWhileHeld)
        return;
    m_changedWhileHeld = false;
    if (!repaintWhatMoved())
        update();
}

void QuietScrollBar::paintEvent(QPaintEvent* event) {
    m_painted = currentLook();
    QScrollBar::paintEvent(event);
}
