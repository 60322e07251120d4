#!/usr/bin/python3
"""Writes the crafted WAV files that the reader tests use (and the fuzzer
starts from). Each is a few dozen bytes; run from anywhere, files land next
to this script. The expected reading of each is in
tests/audio/wav_reader_test.cpp."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v)


def chunk(cid, body, size=None, pad=True):
    size = len(body) if size is None else size
    out = cid + u32(size) + body
    if pad and len(body) % 2:
        out += b"\0"
    return out


def riff(*chunks, magic=b"RIFF"):
    rest = b"WAVE" + b"".join(chunks)
    return magic + u32(len(rest)) + rest


def fmt(channels, rate, bits=16, tag=1):
    align = channels * bits // 8
    return chunk(b"fmt ", u16(tag) + u16(channels) + u32(rate) + u32(rate * align) +
                 u16(align) + u16(bits))


def pcm(*values):
    return b"".join(struct.pack("<h", v) for v in values)


def data(*values, size=None):
    return chunk(b"data", pcm(*values), size)


def extensible(channels, rate, bits):
    guid_pcm = bytes.fromhex("0100000000001000800000aa00389b71")
    align = channels * bits // 8
    body = (u16(0xFFFE) + u16(channels) + u32(rate) + u32(rate * align) + u16(align) +
            u16(bits) + u16(22) + u16(bits) + u32(3) + guid_pcm)
    return chunk(b"fmt ", body)


def u64(v):
    return struct.pack("<Q", v)


def ds64(data_size, samples=0):
    """The chunk of an RF64 file that holds its 64-bit sizes (no table); the
    RIFF size is filled in by rf64()."""
    return chunk(b"ds64", u64(0) + u64(data_size) + u64(samples) + u32(0))


def rf64(*chunks, magic=b"RF64"):
    rest = b"WAVE" + b"".join(chunks)
    if rest[4:8] == b"ds64":
        rest = rest[:12] + u64(len(rest)) + rest[20:]
    return magic + u32(0xFFFFFFFF) + rest


RAMP = list(range(-1000, 1000, 100))  # 20 samples

FILES = {
    # Plain mono file, full-scale corners included.
    "mono_16k.wav": riff(fmt(1, 16000), data(0, 16384, -32768, 32767, -1, 1, 2, 3, 4, 5, 6, 7)),
    # No "fmt " at all: mono, 16 bits, 48000 Hz.
    "data_only.wav": riff(data(*RAMP)),
    # Left and right cancel, then one frame that averages to 0.5.
    "stereo_opposite.wav": riff(fmt(2, 44100), data(*([16384, -16384] * 10 + [16384, 16384]))),
    # Three channels: the sum 5/32768 times float(1/3) differs from dividing by 3.
    "three_channels.wav": riff(fmt(3, 8000),
                               data(1, 2, 2, 32767, 32767, 32767, -32768, -32768, -32768,
                                    0, 0, 0)),
    # A data size far beyond the file: read up to the end of the file.
    "data_size_max.wav": riff(fmt(1, 22050), data(*RAMP, size=0xFFFFFFFF)),
    # An odd-sized chunk, its pad byte, then the data.
    "odd_chunk_padded.wav": riff(fmt(1, 16000), chunk(b"LIST", b"abc"), data(*RAMP)),
    # The same without the pad byte: the walk lands one byte late.
    "odd_chunk_unpadded.wav": riff(fmt(1, 16000), chunk(b"LIST", b"abc", pad=False),
                                   data(*RAMP)),
    "bits24.wav": riff(fmt(1, 48000, bits=24), data(*RAMP)),
    "float32.wav": riff(fmt(1, 48000, bits=32, tag=3), data(*RAMP)),
    # WAVE_FORMAT_EXTENSIBLE with 16-bit samples is read like plain PCM.
    "extensible16.wav": riff(extensible(2, 32000, 16), data(100, 300, -100, -300, 8, 8)),
    "extensible24.wav": riff(extensible(2, 32000, 24), data(*RAMP)),
    # A "fmt " after the data counts: read as stereo at 22050 Hz.
    "fmt_after_data.wav": riff(fmt(1, 8000), data(16384, 0, 0, -16384, 2, 4),
                               fmt(2, 22050)),
    # Two data chunks: the last wins.
    "two_data.wav": riff(fmt(1, 8000), data(*RAMP), data(7, 8, 9)),
    # The last "fmt " decides the sample size.
    "last_fmt_24.wav": riff(fmt(1, 8000), data(*RAMP), fmt(1, 8000, bits=24)),
    "last_fmt_16.wav": riff(fmt(1, 8000, bits=24), fmt(1, 12000), data(*RAMP)),
    "zero_channels.wav": riff(fmt(0, 48000), data(*RAMP)),
    "rate_zero.wav": riff(fmt(1, 0), data(*RAMP)),
    "not_riff.wav": riff(fmt(1, 48000), data(*RAMP), magic=b"RIFX"),
    # What an empty track is written as: exactly 44 bytes, too short.
    "empty_track.wav": riff(fmt(1, 48000), data()),
    # 45 bytes: one odd data byte, so a present track without samples.
    "one_odd_byte.wav": riff(fmt(1, 48000), chunk(b"data", b"\x7f", pad=False)),
    # A "fmt " chunk whose fields run past the end of the file.
    "fmt_cut.wav": riff(data(*RAMP), (b"fmt " + u32(16) + u16(1) + u16(1) + u32(8000))),
    "no_data.wav": riff(fmt(1, 48000), chunk(b"LIST", bytes(40))),
    # 2.5 stereo frames plus a stray byte: two frames.
    "partial_frame.wav": riff(fmt(2, 48000), chunk(b"data", pcm(16384, 16384, 8192, 0, 5) + b"\1"),
                              chunk(b"junk", bytes(20))),
    # A 14-byte "fmt ": bits are still taken at body + 14, here the "da" of
    # the next header, so the file is rejected.
    "fmt_size_14.wav": riff(chunk(b"fmt ", u16(1) + u16(1) + u32(8000) + u32(16000) + u16(2)),
                            data(*RAMP)),
    # Chunk names are case-sensitive.
    "uppercase_data.wav": riff(fmt(1, 48000), chunk(b"DATA", pcm(*RAMP))),
    # A chunk running past the end after the data ends the walk.
    "junk_past_end.wav": riff(fmt(1, 11025), data(*RAMP), chunk(b"junk", b"xy", size=5000)),
    # A "fmt " with an absurd size after the data: its fields are in the file.
    "fmt_size_huge.wav": riff(data(16384, 16384, -32768, 0),
                              chunk(b"fmt ", fmt(2, 96000)[8:], size=0xFFFFFFFF)),
    # RF64: the data size 0xFFFFFFFF stands for the ds64 chunk's, which ends
    # the data before the LIST chunk that follows it.
    "rf64.wav": rf64(ds64(40, 20), fmt(1, 24000), data(*RAMP, size=0xFFFFFFFF),
                     chunk(b"LIST", bytes(8))),
    "bw64.wav": rf64(ds64(12, 3), fmt(2, 32000), data(16384, 16384, -8192, 0, 7, 7, size=0xFFFFFFFF),
                     chunk(b"LIST", bytes(8)), magic=b"BW64"),
    # A ds64 data size past the end of the file (the largest 64-bit value):
    # read up to the end of the file.
    "rf64_data_past_end.wav": rf64(ds64(0xFFFFFFFFFFFFFFFF), fmt(1, 8000),
                                   data(*RAMP, size=0xFFFFFFFF)),
    # In RF64 a 32-bit data size other than 0xFFFFFFFF is the size.
    "rf64_small_data.wav": rf64(ds64(4), fmt(1, 8000), data(*RAMP)),
    # No ds64: the data size 0xFFFFFFFF runs to the end of the file.
    "rf64_no_ds64.wav": rf64(fmt(1, 8000), data(*RAMP, size=0xFFFFFFFF)),
    # A ds64 chunk in a RIFF file is one more unknown chunk.
    "riff_ds64.wav": riff(ds64(4), fmt(1, 8000), data(*RAMP, size=0xFFFFFFFF)),
}

for name, content in FILES.items():
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(content)
