// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A scroll bar that repaints only when what it shows changes.
//
// While received text streams in and the view follows its end, the range grows a few times
// a second but the handle sits at the bottom at its smallest size: nothing on the bar moves.
// The toolkit's scroll bar repaints for every range and value change all the same, and a
// tall one is costly to paint (the painter hands its fills to a thread pool). This one
// compares what it would show (handle position and size, which ends are reached) with what
// it last painted, and repaints only when they differ, and then only where the handle was and
// is when nothing else changed.
#include <QRect>
#include <QScrollBar>

class QuietScrollBar : public QScrollBar {
public:
    explicit QuietScrollBar(Qt::Orientation orientation, QWidget* parent = nullptr);

    // Changes made between hold() and release() (a new range, then the value that keeps the
    // view at its end) are judged together at release(): the step between them is never
    // painted.
    void hold() { m_held = true; }
    void release();

protected:
    void sliderChange(SliderChange change) override;
    void paintEvent(QPaintEvent* event) override;

private:
    struct Look {
        QRect handle;
        bool atMinimum = false;
        bool atMaximum = false;
        bool operator==(const Look&) const = default;
    };
    Look currentLook() const;
    // Repaints what changed since the last paint when that is only the handle; false when
    // the whole bar has to be painted.
    bool repaintWhatMoved();

    Look m_painted;
    bool m_held = false;
    bool m_changedWhileHeld = false;
};
