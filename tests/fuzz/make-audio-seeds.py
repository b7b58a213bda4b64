#!/usr/bin/env python3
"""Writes the audio-file driver's seeds: a few milliseconds of audio in every
container and encoding the file layer reads, through libsndfile itself, plus
the damaged shapes the renderer must survive (cut short, streaming sizes, chunks
over 64 KiB before the data, chunks after it under a wrong RIFF size).

    tests/fuzz/make-audio-seeds.py [FOLDER]   (default: tests/fuzz/corpus/audio_file)
"""
import ctypes
import ctypes.util
import hashlib
import math
import os
import struct
import sys
import tempfile

lib = ctypes.CDLL(ctypes.util.find_library("sndfile"))


class SfInfo(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int), ("channels", ctypes.c_int),
                ("format", ctypes.c_int), ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]


lib.sf_open.restype = ctypes.c_void_p
lib.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(SfInfo)]
lib.sf_writef_double.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_double), ctypes.c_int64]
lib.sf_close.argtypes = [ctypes.c_void_p]

SFM_WRITE = 0x20
WAV, AIFF, AU, W64, RF64, WAVEX, CAF, FLAC, OGG, MPEG = 0x010000, 0x020000, 0x030000, 0x0B0000, 0x220000, 0x130000, 0x180000, 0x170000, 0x200000, 0x230000
S8, U8, I16, I24, I32, F32, F64, ULAW, ALAW, IMA, MSADPCM, GSM, VORBIS, OPUS, MP3 = 1, 5, 2, 3, 4, 6, 7, 0x10, 0x11, 0x12, 0x13, 0x20, 0x60, 0x64, 0x82

FORMATS = [
    (WAV, I16, 1, 8000), (WAV, U8, 2, 8000), (WAV, I24, 1, 8000), (WAV, I32, 1, 8000), (WAV, F32, 2, 8000),
    (WAV, F64, 1, 8000), (WAV, ULAW, 1, 8000), (WAV, IMA, 1, 8000), (WAVEX, I16, 2, 8000), (RF64, I16, 1, 8000),
    (W64, F32, 1, 8000), (AIFF, I16, 2, 8000), (AIFF, S8, 1, 8000), (AIFF, F32, 1, 8000), (CAF, I24, 1, 8000),
    (FLAC, I16, 1, 8000), (FLAC, I24, 2, 8000), (OGG, VORBIS, 1, 8000), (OGG, OPUS, 1, 8000), (MPEG, MP3, 1, 8000),
]


def write(fmt, channels, rate, frames):
    handle, path = tempfile.mkstemp()
    os.close(handle)
    info = SfInfo(0, rate, channels, fmt[0] | fmt[1], 0, 0)
    sf = lib.sf_open(path.encode(), SFM_WRITE, ctypes.byref(info))
    if not sf:
        os.unlink(path)
        return None
    samples = (ctypes.c_double * (frames * channels))(*[0.5 * math.sin(i * 0.3) for i in range(frames * channels)])
    lib.sf_writef_double(sf, samples, frames)
    lib.sf_close(sf)
    data = open(path, "rb").read()
    os.unlink(path)
    return data


def fmt_after_data(data):
    """The fmt chunk moved to the end of a RIFF, RIFX or RF64 file."""
    size = ">I" if data.startswith(b"RIFX") else "<I"
    fmt = data.index(b"fmt ")
    chunk = data[fmt:fmt + 8 + struct.unpack(size, data[fmt + 4:fmt + 8])[0]]
    return data[:fmt] + data[fmt + len(chunk):] + chunk


def header_shape_seeds(aiff):
    """Shapes that tools other than ours write: an AIFF as sox writes it on a pipe
    (sizes of 0x7f000000 the file does not hold), a GSM WAV whose data chunk is
    padded to an even size inside the chunk (sox), an ADPCM WAV whose fact count
    ends inside its last block, and MP3s whose length the decoder guesses: one
    without its Xing frame, two joined end to end."""
    seeds = []
    comm = aiff.index(b"COMM") + 8
    ssnd = aiff.index(b"SSND") + 4
    piped = bytearray(aiff)
    piped[4:8] = struct.pack(">I", 0x7F000050)
    piped[comm + 2:comm + 6] = struct.pack(">I", 0x7F000000 // 2)
    piped[ssnd:ssnd + 4] = struct.pack(">I", 0x7F000008)
    seeds.append(bytes(piped))

    gsm = write((WAV, GSM), 1, 8000, 320 * 3)
    if gsm is not None:
        size = gsm.index(b"data") + 4
        length = struct.unpack("<I", gsm[size:size + 4])[0]
        padded = gsm[:size] + struct.pack("<I", length + 1) + gsm[size + 4:size + 4 + length] + b"\0"
        seeds.append(padded[:4] + struct.pack("<I", len(padded) - 8) + padded[8:])

    ima = write((WAV, IMA), 1, 8000, 1000)
    if ima is not None:
        fact = ima.index(b"fact") + 8
        seeds.append(ima[:fact] + struct.pack("<I", 1000) + ima[fact + 4:])

    mp3 = write((MPEG, MP3), 1, 8000, 4000)
    if mp3 is not None:
        xing = mp3.find(b"Xing")
        second = mp3.find(b"\xff", xing) if xing > 0 else -1
        if second > 0:
            seeds.append(mp3[second:])
        seeds.append(mp3 + mp3)

    return seeds


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "audio_file")
    os.makedirs(folder, exist_ok=True)
    seeds = []
    for container, encoding, channels, rate in FORMATS:
        data = write((container, encoding), channels, rate, 80)
        if data is None:
            print(f"libsndfile writes no {container:#x}|{encoding:#x}", file=sys.stderr)
            continue
        seeds.append(data)

    wav = write((WAV, I16), 1, 8000, 400)
    data_size = wav.index(b"data") + 4
    seeds.append(wav[:300])                                                   # cut short
    seeds.append(wav[:4] + struct.pack("<I", 0xFFFFFFFF) + wav[8:data_size] + struct.pack("<I", 0xFFFFFFFF) + wav[data_size + 4:])
    seeds.append(wav[:4] + struct.pack("<I", 0) + wav[8:data_size] + struct.pack("<I", 0) + wav[data_size + 4:])
    flac = write((FLAC, I16), 1, 8000, 4000)
    seeds.append(flac[:len(flac) // 2])

    # A chunk over 64 KiB before the data (a broadcast WAV's bext or iXML): whole,
    # cut short, and with streaming sizes, so the walk past any fixed window is reached.
    data_chunk = wav.index(b"data")
    big = b"bext" + struct.pack("<I", 66000) + bytes(66000)
    broadcast = wav[:data_chunk] + big + wav[data_chunk:]
    broadcast = broadcast[:4] + struct.pack("<I", len(broadcast) - 8) + broadcast[8:]
    seeds.append(broadcast)
    seeds.append(broadcast[:len(broadcast) - 400])
    big_size = broadcast.index(b"data") + 4
    seeds.append(broadcast[:4] + struct.pack("<I", 0) + broadcast[8:big_size] + struct.pack("<I", 0) + broadcast[big_size + 4:])

    # A tag after the data with a RIFF size too small (a chunk left out) and too large.
    tag = b"LIST" + struct.pack("<I", 12) + b"INFOICMT" + struct.pack("<I", 0)
    for riff_error in (-14, -2, 5000):
        tagged = wav + tag
        seeds.append(tagged[:4] + struct.pack("<I", len(tagged) - 8 + riff_error) + tagged[8:])

    # Cut short where the header announces a length: RF64, Wave64, AU, CAF.
    for container, encoding in ((RF64, I16), (W64, I16), (AU, I16), (CAF, I16)):
        whole = write((container, encoding), 1, 8000, 400)
        if whole is not None:
            seeds.append(whole[:len(whole) * 2 // 3])

    # Data sizes of a long WAV (2 to 4 GiB) in a short file: lengths the file does not
    # hold, next to the placeholders recorders write; lossy codecs cut short; an
    # empty file.
    for size in (0x90000000, 0x7FFF0000, 0x7FFFF000, 0x7FFFFFFF):
        seeds.append(wav[:data_size] + struct.pack("<I", size) + wav[data_size + 4:])
    for encoding in (IMA, MSADPCM, GSM):
        whole = write((WAV, encoding), 1, 8000, 2000)
        if whole is not None:
            seeds.append(whole[:len(whole) * 2 // 3])
    empty = write((WAV, I16), 1, 8000, 0)
    if empty is not None:
        seeds.append(empty)

    # An AIFF whose SSND size was never written, with an ID3 chunk behind its audio.
    aiff = write((AIFF, I16), 1, 8000, 400)
    ssnd = aiff.index(b"SSND") + 4
    tagged = aiff[:ssnd] + struct.pack(">I", 0) + aiff[ssnd + 4:] + b"ID3 " + struct.pack(">I", 64) + bytes([0x7E] * 64)
    seeds.append(tagged[:4] + struct.pack(">I", len(tagged) - 8) + tagged[8:])

    # A WAV whose fmt chunk follows its data.
    fmt = wav.index(b"fmt ")
    fmt_chunk = wav[fmt:fmt + 8 + struct.unpack("<I", wav[fmt + 4:fmt + 8])[0]]
    seeds.append(wav[:fmt] + wav[fmt + len(fmt_chunk):] + fmt_chunk)

    # RIFX (big-endian WAV): cut short, and with its sizes never written.
    rifx = write((WAV, I16 | 0x20000000), 1, 8000, 400)
    if rifx is not None:
        seeds.append(rifx[:300])
        rifx_size = rifx.index(b"data") + 4
        seeds.append(rifx[:4] + bytes(4) + rifx[8:rifx_size] + bytes(4) + rifx[rifx_size + 4:])

    # The fmt chunk after the data in RIFX (sizes big-endian) and RF64 (its data size in ds64).
    seeds.extend(fmt_after_data(data) for data in (rifx, write((RF64, I16), 1, 8000, 400)) if data is not None)

    # Headers libsndfile refuses in words of its own: a sample rate of 0, no channels.
    seeds.append(wav[:24] + struct.pack("<I", 0) + wav[28:])
    seeds.append(wav[:22] + struct.pack("<H", 0) + wav[24:])

    # An MP3 whose Xing tag counts its frames, cut short; and one whose LAME tag
    # pads away more than its two counted frames hold, so that the decoder gives
    # no length at all.
    mp3 = write((MPEG, MP3), 1, 8000, 4000)
    if mp3 is not None:
        seeds.append(mp3[:len(mp3) // 2])
        xing, lame = mp3.find(b"Xing"), mp3.find(b"LAME")
        if xing > 0 and lame > 0:
            padded = bytearray(mp3)
            padded[xing + 8:xing + 12] = struct.pack(">I", 2)
            padded[lame + 22] |= 0x0F
            padded[lame + 23] = 0xFF
            seeds.append(bytes(padded))

    # A FLAC holding more than its STREAMINFO total (the total halved).
    total = flac.index(b"fLaC") + 8 + 14
    seeds.append(flac[:total] + struct.pack(">I", 2000) + flac[total + 4:])

    # Two Vorbis streams chained back to back.
    vorbis = write((OGG, VORBIS), 1, 8000, 400)
    if vorbis is not None:
        seeds.append(vorbis + vorbis)

    seeds.extend(header_shape_seeds(aiff))

    for data in seeds:
        name = hashlib.sha1(data).hexdigest()
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
    print(f"{len(seeds)} seeds in {folder}")


main()
