#pragma once

#include <QLabel>

// A one-line label that never asks for more width than its ellipsis: given less than its text
// needs, it shows the text's start ending in "…" rather than letting a layout widen its window or
// clip a glyph. text() stays whole.
class ElidedLabel : public QLabel
{
public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    // The text as painted in the label's present width.
    QString shownText() const;

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
