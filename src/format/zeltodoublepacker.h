#pragma once

#include "zeltobytesink.h"

#include <QString>

#include <vector>

// Packs the doubles of one table column (version 2 of the ZeltoStream
// format, grammar at the top of zeltostream.h) and unpacks them again,
// bit for bit. Meter readings are decimals with a fixed number of fraction
// digits that change little from one record to the next, so a block of them
// is stored as scaled integers, bit-packed either as they are or as
// differences, with the few values that are not such decimals (NaN, -0.0,
// noise) kept raw beside them. Blocks that are not decimals at all are
// XOR-coded against the previous value or kept raw, whichever is smaller.
namespace ZeltoDoublePacker {

// Values of one block at most; every block but the last of a column is full.
constexpr int BlockSize = 1024;
// Scaled integers of one bit width share a group.
constexpr int GroupSize = 128;
// The largest decimal exponent tried: 10^15 and all below are exact doubles.
constexpr int MaxExponent = 15;

enum BlockMode : uchar {
    ModeRaw = 0x00,
    ModeXor = 0x10,
    ModeDecimal = 0x20,   // | exponent
};

// Appends the blocks of count values.
void pack(const double *values, qint64 count, ZeltoByteSink &out);
// The same bytes, for values whose first `kept` are the values of the block
// stored at [block, end), the last of its column as pack() wrote it: the
// parts of that block that would come out the same are copied from it.
// Whether any were.
bool packAfter(const uchar *block, const uchar *end, int kept, const double *values, qint64 count,
               ZeltoByteSink &out);

// Reads one block from [*p, end) into out (which it resizes to the block's
// count) and moves *p past it. False on malformed bytes, with a reason for
// people in *error; *p is then somewhere inside the block.
bool unpackBlock(const uchar *&p, const uchar *end, std::vector<double> &out, QString *error);
// The same, where only the values from..to (not including to) are wanted:
// the others in out may be anything. The bytes are checked as above.
bool unpackBlock(const uchar *&p, const uchar *end, std::vector<double> &out, QString *error, int from, int to);

// Moves *p past one block, walking its structure with the same bounds
// checks but unpacking no value; count is the block's number of values.
bool skipBlock(const uchar *&p, const uchar *end, int &count);

} // namespace ZeltoDoublePacker
