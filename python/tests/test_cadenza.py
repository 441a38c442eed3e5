"""The cadenza module on copies of the demo device.

Runs against whichever `cadenza` is importable: the build tree's (ctest sets
PYTHONPATH) or an installed one (python3 -m pytest python/tests).
"""
import os
import pathlib
import shutil
import subprocess

import pytest

import cadenza

SOURCE = pathlib.Path(os.environ.get("CADENZA_SOURCE_DIR") or pathlib.Path(__file__).parents[2])
SONG = SOURCE / "demo" / "media" / "04-moscow.mp3"


@pytest.fixture
def device(tmp_path):
    root = tmp_path / "ipod"
    shutil.copytree(SOURCE / "demo" / "device", root)
    return root


def test_reads_tracks_playlists_device_and_files(device):
    lib = cadenza.open(device)
    tracks = lib.tracks
    assert len(tracks) == 3
    t = tracks[0]
    assert t.title and t.artist and t.length_ms > 0 and t.bitrate > 0 and t.file_type
    assert os.path.isfile(t.location) and t.location.startswith(str(device))
    assert dict(t) == t.to_dict() and t.to_dict()["title"] == t.title
    assert lib.track(t.id) == t and lib.track(987654) is None
    with pytest.raises(AttributeError):
        t.no_such_field
    master = [p for p in lib.playlists if p.master]
    assert len(master) == 1 and sorted(master[0].track_ids) == sorted(x.id for x in tracks)
    assert lib.device["writable"] is True
    info = cadenza.probe(SONG)
    assert info["file_type"] == "MP3" and info["supported"] and info["length_ms"] > 0


def test_changes_are_saved(device):
    lib = cadenza.open(device)
    gone = lib.tracks[0]
    steps = []
    new = lib.import_file(SONG, progress=lambda *step: steps.append(step))
    assert "copy_start" in [s[0] for s in steps]
    assert steps[-1][0] == "copy" and steps[-1][2] == steps[-1][3] > 0
    lib.edit(new, title="Moskva", year=1999, skip_when_shuffling=True)
    lib.delete(gone.id)
    lib.save()

    again = cadenza.open(device)
    assert again.track(gone.id) is None and not os.path.exists(gone.location)
    t = again.track(new)
    assert (t.title, t.year, t.skip_when_shuffling) == ("Moskva", 1999, True)
    assert os.path.isfile(t.location) and len(again.tracks) == 3


def test_failures_raise_and_change_nothing(tmp_path, device):
    for call, code in [(lambda: cadenza.open(tmp_path), "not_found"),  # a folder that is no iPod
                       (lambda: cadenza.probe(SONG.with_name("missing.mp3")), "not_found")]:
        with pytest.raises(cadenza.Error) as e:
            call()
        assert e.value.code == code and e.value.message == str(e.value) != ""
    assert "missing.mp3" in str(e.value)

    lib = cadenza.open(device)
    with pytest.raises(cadenza.Error) as e:
        lib.edit(987654, title="x")
    assert e.value.code in ("not_found", "invalid")
    with pytest.raises(ValueError):
        lib.edit(lib.tracks[0].id, year=12345)
    text = tmp_path / "notes.txt"
    text.write_text("not music")
    with pytest.raises(cadenza.Error) as e:
        lib.import_file(text)
    assert e.value.code == "unsupported"

    def stop(*_):
        raise KeyError("stop")

    with pytest.raises(KeyError):
        lib.import_file(SONG, progress=stop)
    lib.save()
    assert len(cadenza.open(device).tracks) == 3


def test_duplicates_tags_and_export(tmp_path, device):
    lib = cadenza.open(device)
    new = lib.import_file(SONG)
    with pytest.raises(cadenza.Error) as e:
        lib.import_file(SONG)
    assert e.value.code == "duplicate" and "already on the iPod" in str(e.value)
    lib.edit(new, album_artist="Band", track_number=2, track_count=9, rating=4, compilation=True)
    t = lib.track(new)
    assert (t.album_artist, t.track_number, t.track_count, t.rating, t.compilation) == \
        ("Band", 2, 9, 80, True)
    assert t.date_added > 0 and t.db_id != 0
    out = lib.export(tmp_path / "out", [new])
    assert [pathlib.Path(f).relative_to(tmp_path / "out").parts[0] for f in out["written"]] == ["Band"]
    assert lib.export(tmp_path / "out", [new])["skipped"] == out["written"]


def test_playlists_and_plays(tmp_path, device):
    lib = cadenza.open(device)
    a, b, c = (t.id for t in lib.tracks)
    lib.playlist("create", "Mix")
    lib.playlist("add", "Mix", [a, b, c])
    lib.playlist("move", "Mix", [c], position=0)
    lib.playlist("remove", "Mix", [b])
    with pytest.raises(cadenza.Error) as e:
        lib.playlist("add", "Nope", [a])
    assert e.value.code == "not_found"
    lib.export_playlist("Mix", tmp_path / "mix.m3u8")
    assert lib.import_playlist(tmp_path / "mix.m3u8", name="Copy")["tracks"] == [c, a]
    lib.save()
    lists = {p.name: p.track_ids for p in cadenza.open(device).playlists}
    assert lists["Mix"] == lists["Copy"] == [c, a]
    # One play recorded by the device for the first track.
    entry = (2).to_bytes(4, "little") + (3782844800).to_bytes(4, "little") + bytes(20)
    counts = b"mhdp" + (0x60).to_bytes(4, "little") + (0x1C).to_bytes(4, "little")
    counts += (3).to_bytes(4, "little") + bytes(0x60 - 16) + entry + bytes(56)
    before = lib.track(a).play_count
    (device / "iPod_Control" / "iTunes" / "Play Counts").write_bytes(counts)
    lib = cadenza.open(device)
    assert lib.track(a).play_count == before + 2 and lib.track(a).last_played == 1700000000
    lib.save()
    plays = cadenza.open(device).plays(scrobbler_log=tmp_path / "scrobbler.log")
    assert [(p["id"], p["plays"]) for p in plays] == [(a, 2)]
    assert (tmp_path / "scrobbler.log").read_text().count("\tL\t") == 2


@pytest.mark.skipif(not shutil.which("ffmpeg"), reason="ffmpeg is not installed")
def test_covers(tmp_path, device):
    (device / "iPod_Control" / "Device").mkdir()  # an iPod classic: four formats, shared images
    (device / "iPod_Control" / "Device" / "SysInfo").write_text(
        "ModelNumStr: xB029\nFirewireGuid: 0x000A27001A2B3C4D\n")
    jpg, song = tmp_path / "cover.jpg", tmp_path / "song.mp3"
    ff = ["ffmpeg", "-v", "error", "-f", "lavfi", "-i"]
    subprocess.run(ff + ["testsrc=size=300x200", "-frames:v", "1", jpg], check=True)
    subprocess.run(ff + ["sine=duration=2", "-i", jpg, "-map", "0", "-map", "1", "-c:v", "copy",
                         "-id3v2_version", "3", "-metadata:s:v", "comment=Cover (front)", song], check=True)
    lib = cadenza.open(device)
    new, plain = lib.import_file(song), lib.import_file(song, allow_duplicates=True, covers=False)
    lib.save()
    assert lib.track(new).has_cover and lib.track(new).cover_image_id >= 100
    assert not lib.track(plain).has_cover and lib.cover(new).startswith(b"\x89PNG\r\n\x1a\n")
    art = lib.artwork()
    assert (art["images"], art["formats_from"], len(art["formats"])) == (1, "model", 4)
    with pytest.raises(cadenza.Error) as e:
        lib.set_cover(new, b"not a picture")
    assert e.value.code == "unsupported"
    assert lib.set_album_cover("Test Signals", jpg.read_bytes()) == 2
    lib.remove_cover(new)
    lib.save()
    with pytest.raises(cadenza.Error) as e:
        lib.cover(new)
    assert e.value.code == "not_found" and not cadenza.open(device).track(new).has_cover
    art = lib.artwork()  # the album's tracks share one image; the freed slots were compacted
    assert (art["images"], art["tracks_with_cover"], art["unused_bytes"]) == (1, 2, 0)
    assert lib.compact_artwork() == 0
