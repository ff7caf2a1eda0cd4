#pragma once

#include <QColor>
#include <QWidget>

#include <vector>

// Curves of levels drawn over their index: a histogram's 256 counts (filled, counts linear or
// logarithmic) or the samples along a line (levels 0 to 255).
class LevelPlot : public QWidget
{
public:
    struct Curve
    {
        QColor colour;
        std::vector<double> values;
    };

    explicit LevelPlot(QWidget *parent = nullptr);
    QSize sizeHint() const override { return QSize(280, 140); }

    // top: the value at the top edge; 0 takes the highest value of the curves.
    void setCurves(std::vector<Curve> curves, double top, bool filled);
    void setLogarithmic(bool logarithmic);
    const std::vector<Curve> &curves() const { return shown; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    double heightOf(double value) const;

    std::vector<Curve> shown;
    double top = 0;
    bool filled = false;
    bool logarithmic = false;
};
