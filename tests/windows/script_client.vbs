' The Cadenza component from VBScript, as a script host reaches it: scalar
' members and properties, and errors through Err.
'   cscript //nologo script_client.vbs DEVICE MEDIA_FILE
Option Explicit
Dim failed, c, drive, media, x
failed = 0
Sub Check(ok, what)
  If ok Then WScript.Echo "ok: " & what Else WScript.Echo "FAIL: " & what : failed = failed + 1
End Sub
drive = WScript.Arguments(0)
media = WScript.Arguments(1)
Set c = CreateObject("Cadenza.clsCadenza")
Check c.iPodShuffle = False, "iPodShuffle of a new object"
c.iPodShuffle = True
Check c.iPodShuffle = True, "iPodShuffle put True"
' Typed by-reference parameters take values, not variables.
c.initlaize 0, "ScriptTest", (drive)
Check c.iPodDriveLetter = drive, "iPodDriveLetter: " & c.iPodDriveLetter
Check c.LoadiPodDB() = True, "LoadiPodDB"
Check IsEmpty(c.CancelUpdate()), "CancelUpdate returns Empty"
Check IsEmpty(c.GetVideoInformation((media))), "GetVideoInformation returns Empty"
On Error Resume Next
x = c.GetTrackInfo(987654)
Check Err.Number = 9, "Err.Number " & Err.Number
Check Err.Description = "Subscript out of range", "Err.Description: " & Err.Description
On Error GoTo 0
WScript.Echo "done: " & failed & " failed"
