#pragma once

// Fixed heap thresholds for a program that reads a fast stream for hours; set before anything is
// allocated. Does nothing where the C library has no such settings.
void useSteadyHeap();
