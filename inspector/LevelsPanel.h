#pragma once

#include "FrameLevels.h"

#include <QWidget>

class LevelPlot;
class QCheckBox;
class QComboBox;
class QLabel;

// The levels of the frame shown, or of a region of it: a histogram (Gray; Y, U or V as chosen; R,
// G and B together), its numbers in text, and the samples along a line when one is drawn.
class LevelsPanel : public QWidget
{
    Q_OBJECT

public:
    explicit LevelsPanel(QWidget *parent = nullptr);

    void showLevels(const FrameLevels &levels, bool region);
    void showNothing(const QString &reason);
    // One row of samples per channel; none hides the profile.
    void showProfile(const std::vector<std::vector<int>> &samples, const std::vector<ChannelLevels> &channels);
    // Of a raw colour frame: 0 Y, 1 U, 2 V.
    int chosenChannel() const;

    // The numbers as the panel shows them: whole frame or region, then a line per channel.
    static QString text(const FrameLevels &levels, bool region);

signals:
    void channelChosen(int channel);

private:
    void redraw();

    QComboBox *channelBox = nullptr;
    QCheckBox *logarithmicBox = nullptr;
    LevelPlot *histogram = nullptr;
    QLabel *numbers = nullptr;
    QLabel *profileTitle = nullptr;
    LevelPlot *profile = nullptr;
    FrameLevels levels;
    bool measured = false;
    bool region = false;
};
