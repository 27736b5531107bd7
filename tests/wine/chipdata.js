// JScript: ChipCardData is one value for the whole process, so what one object sets a
// second object reads; and a failing property is an exception with its number.
var failures = 0;
function check(ok, what, detail) {
    WScript.Echo((ok ? "  ok   " : "  FAIL ") + what + (ok ? "" : ": " + detail));
    if (!ok) failures++;
}

var first = new ActiveXObject("CZQICCardReader.ColsZQICCardReader");
var second = new ActiveXObject("CZQICCardReader.ColsZQICCardReader");
first.ChipCardData = "00A4040008F0435A5149430001";
check(second.ChipCardData === "00A4040008F0435A5149430001",
      "ChipCardData set by one object is read by another", second.ChipCardData);
second.ChipCardData = "";
check(first.ChipCardData === "", "and cleared the same way", first.ChipCardData);

try {
    first.WriteTrack1Len = "abc";
    check(false, "WriteTrack1Len \"abc\" throws", "no exception");
} catch (e) {
    var code = (e.number >>> 0).toString(16).toUpperCase();
    check(code === "800A000D" && e.description === "Type mismatch",
          "WriteTrack1Len \"abc\" throws 0x800A000D Type mismatch", code + " " + e.description);
}
var status = first.CardReaderGetStatus();
check(status === 1, "a method answers with a Long", status);
// Wine's script host exits with 0 when a script stops on an error: this line shows the end.
WScript.Echo("done: " + failures + " failed");
WScript.Quit(failures);
