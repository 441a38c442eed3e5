// The Cadenza component from JScript, as a script host reaches it: scalar
// members and properties, and errors as exceptions.
//   cscript //nologo script_client.js DEVICE MEDIA_FILE
var failed = 0;
function check(ok, what) {
  WScript.Echo((ok ? "ok: " : "FAIL: ") + what);
  if (!ok) failed++;
}
var drive = WScript.Arguments(0), media = WScript.Arguments(1);
try {
  var c = new ActiveXObject("Cadenza.clsCadenza");
  check(c.iPodShuffle === false, "iPodShuffle of a new object");
  c.iPodShuffle = true;
  check(c.iPodShuffle === true, "iPodShuffle put true");
  c.initlaize(0, "ScriptTest", drive);
  check(c.iPodDriveLetter === drive, "iPodDriveLetter: " + c.iPodDriveLetter);
  check(c.LoadiPodDB() === true, "LoadiPodDB");
  check(typeof c.CancelUpdate() === "undefined", "CancelUpdate returns Empty");
  check(typeof c.GetVideoInformation(media) === "undefined", "GetVideoInformation returns Empty");
  try {
    c.GetTrackInfo(987654);
    check(false, "GetTrackInfo of an unknown id fails");
  } catch (e) {
    check((e.number & 0xFFFF) === 9 && (e.number >>> 16) === 0x800A, "error number " + e.number);
    check(e.description === "Subscript out of range", "error description: " + e.description);
  }
} catch (e) {
  check(false, "error " + e.number + ": " + e.description);
}
WScript.Echo("done: " + failed + " failed");
