"""Microphones in formats the tool cannot convert itself (24- and 32-bit
integers) record speech: the stream asks the server for float32."""
import signal

import numpy as np
import pytest

import room
import sound_server


@pytest.fixture(scope="module")
def server():
    with sound_server.running("pulseaudio") as s:
        yield s.setup_room()


@pytest.mark.float_mic
@pytest.mark.parametrize("fmt", ["s24le", "s32le"])
def test_a_microphone_in_a_wide_integer_format_records_speech(start, server, tmp_path, fmt):
    server.null_sink("wide_" + fmt, "Wide " + fmt, "format=" + fmt, "rate=48000", "channels=1")
    server.remap_source("mic_" + fmt, "wide_%s.monitor" % fmt, "Mic " + fmt, "format=" + fmt)
    server.keep_running("wide_" + fmt)
    words = room.speech("Every microphone records.")
    out = str(tmp_path / "wide.wav")
    run = start([out, "--mic", "--mic-device", "mic_" + fmt], server.env, out)
    run.wait_line("mic capture started")
    room.play(server, [("wide_" + fmt, words)], str(tmp_path))[0].wait(timeout=30)
    run.stop(signal.SIGINT)
    assert run.status == 0 and not run.starting("[WARN] mic: unsupported"), run
    formats = run.starting("format[mic]: ")
    assert len(formats) == 1 and " bits=32 float=true int=false " in formats[0], run
    mic = run.track()
    at = int(room.lag_ms(words, mic, len(mic) * 1000 / room.RATE) * room.RATE / 1000)
    assert 0 <= at and room.correlation(words, mic[at:]) >= 0.9, (at, run)
    assert np.abs(mic).max() > 0.5  # normalised speech, not silence
