' A failing property reaches a VBScript client as a run-time error it can trap: the
' number and the description come from the component's error information. Runs behind
' check.vbs (Check, Finish).

Dim reader
Set reader = CreateObject("CZQICCardReader.ColsZQICCardReader")

On Error Resume Next
reader.WriteTrack1Len = "abc"
WScript.Echo "  WriteTrack1Len = ""abc"": Err.Number " & Err.Number & " (&H800A" & _
             Right("000" & Hex(Err.Number), 4) & "), Err.Description """ & Err.Description & """"
Check Err.Number = 13, "Err.Number is 13 (0x800A000D)", Err.Number
Check Err.Description = "Type mismatch", "Err.Description is Type mismatch", Err.Description
Err.Clear

reader.WriteTrack2Len = "99999999999"
Check Err.Number = 6 And Err.Description = "Overflow", "an out-of-range number is Overflow", _
      Err.Number & " " & Err.Description
Err.Clear

reader.WriteTrack3Len = "12"
Check Err.Number = 0, "a number is taken", Err.Number & " " & Err.Description
Err.Clear

Dim status
status = reader.CardReaderStatus
Check Err.Number = 0 And status = 1, "a property that works raises nothing", Err.Number
On Error GoTo 0

Finish
