' WScript.ConnectObject binds the object's default source interface to Sub ev_<Event>.
' The class never raises its events, so after a whole transaction no handler has run.
' Exit status: 0 passed, 1 failed, 77 when the script host itself cannot connect objects
' (Wine's cscript answers E_NOTIMPL for ConnectObject, whatever the object). Runs behind
' check.vbs (Check, Finish).

Dim delivered : delivered = 0
Sub ev_StatusEvent(eventcode, State) : delivered = delivered + 1 : End Sub
Sub ev_ResultEvent(eventcode) : delivered = delivered + 1 : End Sub
Sub ev_RapReady(eventcode) : delivered = delivered + 1 : End Sub

Dim reader
Set reader = CreateObject("CZQICCardReader.ColsZQICCardReader")
On Error Resume Next
WScript.ConnectObject reader, "ev_"
Dim number : number = Err.Number
Dim description : description = Err.Description
On Error GoTo 0
If number = 445 Then
    WScript.Echo "  skip WScript.ConnectObject: the script host does not implement it (" & _
                 description & ")"
    WScript.Quit 77
End If
If number <> 0 Then
    WScript.Echo "  FAIL WScript.ConnectObject: " & number & " " & description
    WScript.Quit 1
End If
WScript.Echo "  ok   WScript.ConnectObject succeeded"

Dim results
results = reader.CardReaderInit & " " & reader.CardReaderEnable & " " & reader.CardReaderRead & _
          " " & reader.CardReaderReturn
WScript.Sleep 500
WScript.DisconnectObject reader
Check delivered = 0, "no event delivered during a transaction (" & results & ")", _
      delivered & " events delivered"
Finish
