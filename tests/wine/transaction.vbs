' A whole card transaction through the registered component, late-bound by name, the
' way a VBScript client drives it: initialise, enable, read the tracks, write a track,
' power up the chip and exchange two commands, give the card back.
' Runs behind check.vbs (Check, Finish): one line per check, the number of failed checks
' as the exit status.

Sub CheckCall(name, got, expected)
    Check got = expected, name & " = " & expected, "returned " & got
End Sub

Dim reader, sim
Set reader = CreateObject("CZQICCardReader.ColsZQICCardReader")
Set sim = CreateObject("CZQICSim.SimConsole")
Check sim.Sited, "the host form sited the control", "no client site was set"

CheckCall "CardReaderInit", reader.CardReaderInit, 0
Check sim.Opened, "the device connection is open", "not opened"
CheckCall "CardReaderStatus", reader.CardReaderStatus, 1
CheckCall "CardReaderEnable", reader.CardReaderEnable, 0
CheckCall "CardReaderStatus after enabling", reader.CardReaderStatus, 4
CheckCall "CardReaderRead", reader.CardReaderRead, 0
Check Left(reader.ReadTrack1, 2) = "%B", "ReadTrack1 holds track 1 data", reader.ReadTrack1
Check reader.ReadTrack1Len = Len(reader.ReadTrack1), "ReadTrack1Len is its length", reader.ReadTrack1Len
Check Left(reader.ReadTrack2, 1) = ";" And Right(reader.ReadTrack2, 1) = "?", _
      "ReadTrack2 holds track 2 data", reader.ReadTrack2
Check reader.ReadTrack3Len > 0, "ReadTrack3 was read", reader.ReadTrack3Len
CheckCall "CardReaderStatus with the card inside", reader.CardReaderStatus, 5

Dim newTrack2 : newTrack2 = ";4000000000000002=31122011000000000000?"
reader.WriteTrack2 = newTrack2
CheckCall "CardReaderWrite", reader.CardReaderWrite, 0
Check InStr(sim.Journal, "call: writeTrack(""2"", """ & newTrack2 & """)") > 0, _
      "the control was asked to write track 2", sim.Journal

CheckCall "QOR_WaitChip", reader.QOR_WaitChip, 0
Check reader.ChipCardData = "3B6800008066435A51499000", "the answer to reset is in ChipCardData", _
      reader.ChipCardData

reader.ChipCardData = "0084000008"
CheckCall "Qor_ChipTrnsp (GET CHALLENGE)", reader.Qor_ChipTrnsp, 0
Check Len(reader.ChipCardData) = 20 And Right(reader.ChipCardData, 4) = "9000", _
      "eight random bytes and 9000 come back", reader.ChipCardData

reader.ChipCardData = "00A4040008F0435A5149430001"
CheckCall "Qor_ChipTrnsp (SELECT)", reader.Qor_ChipTrnsp, 0
CheckCall "the card's application answers", reader.ChipCardData, "9000"

CheckCall "CardReaderReturn", reader.CardReaderReturn, 0
CheckCall "CardReaderGetStatus after the card was taken", reader.CardReaderGetStatus, 1
CheckCall "Reset", reader.Reset, 0
CheckCall "CardVer", reader.CardVer, ""

Set reader = Nothing
Check Not sim.Opened, "releasing the object closed the device", "still open"
Check Right(sim.Journal, Len("call: close()" & vbLf)) = "call: close()" & vbLf, _
      "the last call the control saw was close", sim.Journal

Finish
