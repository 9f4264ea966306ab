#!/usr/bin/env python3
"""Writes the language files that Veltrane ships, "Text - <language>.txt", next to this script.

The program reads UTF-16LE with a byte order mark: a free header that ends with the marker
line, then each entry as two lines (the English sentence, then its translation), CR LF line
ends, no blank lines (a blank line ends the list). The English sentences are the bare
sentences of the program's texts, without the punctuation around them, which the program
keeps from its own text. LanguageSupportTests checks that these files cover every sentence
the program shows.

Run: python3 lang/make_language_files.py
"""

from pathlib import Path

HEADER_MARKER = "[Translate the text below]"
LINE_END = "\r\n"

# English sentence -> (German, French).
TRANSLATIONS = {
    "Veltrane": ("Veltrane", "Veltrane"),
    "Every recording device needs to be calibrated before it can be used with the tuner": (
        "Jedes Aufnahmegerät muss kalibriert werden, bevor es mit dem Stimmgerät verwendet "
        "werden kann",
        "Chaque périphérique d’enregistrement doit être étalonné avant de pouvoir être "
        "utilisé avec l’accordeur",
    ),
    "The calibration does not need an external sound signal": (
        "Für die Kalibrierung ist kein externes Tonsignal nötig",
        "L’étalonnage ne nécessite aucun signal sonore externe",
    ),
    "The calibration takes a few minutes, but it can take considerably longer if your "
    "computer is busy with other things": (
        "Die Kalibrierung dauert einige Minuten, kann aber erheblich länger dauern, wenn Ihr "
        "Computer mit anderen Aufgaben beschäftigt ist",
        "L’étalonnage dure quelques minutes, mais il peut prendre beaucoup plus de temps si "
        "votre ordinateur est occupé à d’autres tâches",
    ),
    "If the calibration takes too long, close all other applications that could slow down "
    "your computer and restart the calibration": (
        "Wenn die Kalibrierung zu lange dauert, schließen Sie alle anderen Anwendungen, die "
        "Ihren Computer verlangsamen könnten, und starten Sie die Kalibrierung neu",
        "Si l’étalonnage dure trop longtemps, fermez toutes les autres applications "
        "susceptibles de ralentir votre ordinateur et relancez l’étalonnage",
    ),
    "Don't click on anything during this calibration": (
        "Während der Kalibrierung bitte nichts anklicken",
        "Ne cliquez sur rien pendant l’étalonnage",
    ),
    "If you do, it will take longer": (
        "Sonst dauert sie länger",
        "Sinon, il prendra plus de temps",
    ),
    "Cancel": ("Abbrechen", "Annuler"),
    "Time left": ("Verbleibende Zeit", "Temps restant"),
    "Calibrating": ("Kalibrierung läuft", "Étalonnage en cours"),
    "The result could not be stored": (
        "Das Ergebnis konnte nicht gespeichert werden",
        "Le résultat n’a pas pu être enregistré",
    ),
    "The result cannot be stored": (
        "Das Ergebnis kann nicht gespeichert werden",
        "Le résultat ne peut pas être enregistré",
    ),
    "The calibration succeeded": (
        "Die Kalibrierung war erfolgreich",
        "L’étalonnage a réussi",
    ),
    "This sound input cannot be calibrated": (
        "Dieser Audioeingang kann nicht kalibriert werden",
        "Cette entrée audio ne peut pas être étalonnée",
    ),
    "The calibration is canceled": (
        "Die Kalibrierung wurde abgebrochen",
        "L’étalonnage est annulé",
    ),
    "The sample rate is not supported": (
        "Die Abtastrate wird nicht unterstützt",
        "La fréquence d’échantillonnage n’est pas prise en charge",
    ),
    "The calibration could not start": (
        "Die Kalibrierung konnte nicht gestartet werden",
        "L’étalonnage n’a pas pu démarrer",
    ),
    "The calibration did not succeed": (
        "Die Kalibrierung ist fehlgeschlagen",
        "L’étalonnage a échoué",
    ),
    "The calibration was interrupted": (
        "Die Kalibrierung wurde unterbrochen",
        "L’étalonnage a été interrompu",
    ),
    "Please try again": (
        "Bitte versuchen Sie es erneut",
        "Veuillez réessayer",
    ),
}

LANGUAGES = {
    "Deutsch": (
        0,
        [
            "Veltrane: deutsche Texte",
            "Jeder Eintrag besteht aus zwei Zeilen: dem englischen Satz und seiner Übersetzung.",
            "Keine Leerzeilen zwischen den Einträgen: eine Leerzeile beendet die Liste.",
        ],
    ),
    "Français": (
        1,
        [
            "Veltrane : textes en français",
            "Chaque entrée tient sur deux lignes : la phrase anglaise, puis sa traduction.",
            "Pas de ligne vide entre les entrées : une ligne vide termine la liste.",
        ],
    ),
}

# Characters that the program trims from both ends of every sentence, and those that end
# a line or an entry; a text holding them at the wrong place would not load as written.
SEPARATORS = set(" !?.,:\t\r\n")


def check_text(text):
    if not text or text[0] in SEPARATORS or text[-1] in SEPARATORS:
        raise ValueError(f"text starts or ends with punctuation or is empty: {text!r}")
    if any(c in text for c in "\t\r\n") or ". " in text or "\\" in text:
        raise ValueError(f"text holds a line break, tab, backslash or '. ': {text!r}")


def language_file_text(header_lines, column):
    lines = list(header_lines) + [HEADER_MARKER]
    for source, translations in TRANSLATIONS.items():
        check_text(source)
        check_text(translations[column])
        lines += [source, translations[column]]
    return "\ufeff" + LINE_END.join(lines) + LINE_END


def main():
    folder = Path(__file__).resolve().parent
    for language, (column, header_lines) in LANGUAGES.items():
        path = folder / f"Text - {language}.txt"
        path.write_bytes(language_file_text(header_lines, column).encode("utf-16-le"))
        print(f"wrote {path}")


if __name__ == "__main__":
    main()
