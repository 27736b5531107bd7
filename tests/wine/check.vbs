Option Explicit
' What the VBScript clients share; wine-check puts it in front of each client, since Wine's
' script host runs neither ExecuteGlobal nor .wsf jobs. Check prints one line a check and
' counts the failed ones; Finish ends the client with that count as its exit status, after
' a last line that shows the client ran to its end (Wine's host exits with 0 when a script
' stops on an error).

Dim failures : failures = 0

Sub Check(ok, what, detail)
    If ok Then
        WScript.Echo "  ok   " & what
    Else
        WScript.Echo "  FAIL " & what & ": " & detail
        failures = failures + 1
    End If
End Sub

Sub Finish()
    WScript.Echo "done: " & failures & " failed"
    WScript.Quit failures
End Sub
