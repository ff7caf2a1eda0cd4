#pragma once

// Faults the simulated board puts into its video stream; 0 turns a fault off. "Every N" counts
// the frames the server has produced (1-based), so several faults may hit the same frame; a
// record is damaged by at most one of bad size, cut-off and corrupt JPEG, in that order.
struct VideoFaults
{
    // Close a connection, between two records, after every N records sent to it.
    int closeEvery = 0;
    // Close a connection after a record with this probability (0..1).
    double closeChance = 0.0;
    // Random bytes before every Nth record: a multiple of 4 long (so a word-wise magic search
    // finds the record after them) and never holding a magic byte sequence.
    int garbageEvery = 0;
    // Every Nth record is cut off in its payload, then the connection is closed, as by a board
    // that restarts mid-frame. The missing part is a multiple of 4 bytes long where it can be.
    int truncateEvery = 0;
    // Every Nth record announces a size that is negative or far beyond any frame, and carries no
    // payload: the next record follows its sensor blocks.
    int badSizeEvery = 0;
    // Every Nth record, when it carries JPEG, has its payload damaged (bytes overwritten, cut short or the start marker lost);
    // the record itself stays well formed.
    int corruptJpegEvery = 0;
    // Every K frames the stream moves on to another format and size, without closing anything.
    int switchEvery = 0;
    // Every Nth frame is made and never sent, as by a board too busy to send it: a gap in its
    // clock.
    int skipEvery = 0;

    // The board's clock: each timestamp off its true time by a random amount in
    // -jitterUs..jitterUs, the frames still made on their schedule.
    int jitterUs = 0;
    // The board's clock runs this many parts per million fast (negative: slow) against the
    // host's; the board makes its frames by its own clock.
    int driftPpm = 0;
    // Every Nth frame goes on the wire lateMs late with its right board time; the frames after it
    // keep their schedule, queueing behind it while it is held.
    int lateEvery = 0;
    int lateMs = 0;
};
