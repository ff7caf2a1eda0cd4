#pragma once

#include <QString>

// How a recording's files are named in its folder: the files of single frames (through the
// capture writer, <framePrefix>N.jpg, .bvt or .bmp with one running number), the Matroska
// files one after another, and the index beside them.
class RecordingNames
{
public:
    // The recorder's: <prefix>N.jpg ..., <prefix>0.mkv, <prefix>1.mkv, ..., <prefix>index.csv.
    static RecordingNames recorder(const QString &folder, const QString &prefix);
    // An export to the name a user typed, "cut.mkv": the Matroska files cut.mkv (".mkv" added
    // when the name has none), cut-2.mkv, cut-3.mkv, ...; the frames' files cut-0.jpg,
    // cut-1.bmp, ...; the index cut.csv.
    static RecordingNames exported(const QString &path);

    QString folder() const { return folderPath; }
    // Per-frame files are this followed by their number and extension.
    QString framePrefix() const { return perFramePrefix; }
    // The path of a run's Matroska file, 0 for the first.
    QString recordingFile(int run) const;
    QString indexFile() const;

private:
    QString folderPath;
    QString perFramePrefix;
    QString recordingStem;
    QString recordingSuffix;
    QString runSeparator;
    int firstRunNumber = 0;
    bool firstRunUnnumbered = false;
    QString indexName;
};
