#include "LevelsPanel.h"

#include "LevelPlot.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <cmath>

namespace {

constexpr int LevelTop = 255;

QColor colourOf(const QString &channel)
{
    if (channel == QLatin1String("R") || channel == QLatin1String("V"))
        return QColor(235, 70, 70);
    if (channel == QLatin1String("G"))
        return QColor(80, 210, 80);
    if (channel == QLatin1String("B") || channel == QLatin1String("U"))
        return QColor(90, 140, 255);
    return QColor(230, 230, 230);
}

bool isYuv(const std::vector<ChannelLevels> &channels)
{
    return channels.size() == 3 && channels[0].name == QLatin1String("Y");
}

QString share(quint64 part, quint64 whole)
{
    return QStringLiteral("%1 (%2 %)").arg(part).arg(whole ? 100.0 * double(part) / double(whole) : 0.0, 0, 'f', 2);
}

} // namespace

LevelsPanel::LevelsPanel(QWidget *parent) : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    auto *controls = new QHBoxLayout;
    channelBox = new QComboBox;
    channelBox->setObjectName(QStringLiteral("levelsChannel"));
    channelBox->addItems({QStringLiteral("Y"), QStringLiteral("U"), QStringLiteral("V")});
    channelBox->setFocusPolicy(Qt::NoFocus); // the window's keys step, whatever has the focus
    logarithmicBox = new QCheckBox(QStringLiteral("Logarithmic"));
    logarithmicBox->setObjectName(QStringLiteral("levelsLogarithmic"));
    logarithmicBox->setFocusPolicy(Qt::NoFocus);
    controls->addWidget(channelBox);
    controls->addWidget(logarithmicBox);
    controls->addStretch(1);
    layout->addLayout(controls);
    histogram = new LevelPlot;
    histogram->setObjectName(QStringLiteral("levelsHistogram"));
    layout->addWidget(histogram, 1);
    numbers = new QLabel;
    numbers->setObjectName(QStringLiteral("levelsText"));
    numbers->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    numbers->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(numbers);
    profileTitle = new QLabel(QStringLiteral("Line profile"));
    layout->addWidget(profileTitle);
    profile = new LevelPlot;
    profile->setObjectName(QStringLiteral("levelsProfile"));
    layout->addWidget(profile, 1);
    profileTitle->hide();
    profile->hide();

    connect(channelBox, &QComboBox::currentIndexChanged, this, [this](int channel) {
        redraw();
        emit channelChosen(channel);
    });
    connect(logarithmicBox, &QCheckBox::toggled, histogram, &LevelPlot::setLogarithmic);
}

int LevelsPanel::chosenChannel() const
{
    return channelBox->currentIndex();
}

void LevelsPanel::showLevels(const FrameLevels &shown, bool isRegion)
{
    levels = shown;
    measured = true;
    numbers->setText(text(levels, isRegion));
    redraw();
}

void LevelsPanel::showNothing(const QString &reason)
{
    measured = false;
    numbers->setText(reason);
    redraw();
}

void LevelsPanel::redraw()
{
    std::vector<LevelPlot::Curve> curves;
    const std::vector<ChannelLevels> &channels = levels.channels();
    channelBox->setVisible(measured && isYuv(channels));
    if (measured) {
        for (size_t i = 0; i < channels.size(); ++i) {
            if (isYuv(channels) && int(i) != chosenChannel())
                continue;
            LevelPlot::Curve curve{colourOf(channels[i].name), {}};
            curve.values.assign(channels[i].bins.begin(), channels[i].bins.end());
            curves.push_back(std::move(curve));
        }
    }
    histogram->setCurves(std::move(curves), 0, true);
}

void LevelsPanel::showProfile(const std::vector<std::vector<int>> &samples, const std::vector<ChannelLevels> &channels)
{
    std::vector<LevelPlot::Curve> curves;
    for (size_t i = 0; i < samples.size() && i < channels.size(); ++i)
        curves.push_back({colourOf(channels[i].name), std::vector<double>(samples[i].begin(), samples[i].end())});
    profileTitle->setVisible(!curves.empty());
    profile->setVisible(!curves.empty());
    if (!curves.empty())
        profileTitle->setText(QStringLiteral("Line profile, %1 pixels").arg(samples.front().size()));
    profile->setCurves(std::move(curves), LevelTop, false);
}

QString LevelsPanel::text(const FrameLevels &shown, bool isRegion)
{
    const QRect area = shown.region();
    QStringList lines{isRegion ? QStringLiteral("Region x %1 y %2, %3x%4")
                                     .arg(area.x()).arg(area.y()).arg(area.width()).arg(area.height())
                               : QStringLiteral("Frame %1x%2").arg(area.width()).arg(area.height())};
    for (const ChannelLevels &channel : shown.channels()) {
        const QString snr = std::isinf(channel.snr())
            ? QStringLiteral("\u221E")
            : QStringLiteral("%1 (%2 dB)").arg(channel.snr(), 0, 'f', 2).arg(channel.snrDb(), 0, 'f', 2);
        lines << QStringLiteral("%1: mean %2  \u03C3 %3  min %4  max %5  SNR %6")
                     .arg(channel.name)
                     .arg(channel.mean, 0, 'f', 2)
                     .arg(channel.sigma, 0, 'f', 2)
                     .arg(channel.min)
                     .arg(channel.max)
                     .arg(snr)
              << QStringLiteral("   at 0: %1  at 255: %2")
                     .arg(share(channel.atZero(), channel.count), share(channel.atFull(), channel.count));
    }
    return lines.join(QLatin1Char('\n'));
}
