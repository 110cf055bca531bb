"""Writes examples/statement.txt: a month of a small company's two accounts, as a bank exports it.

The companies, banks and numbers are invented (only the treasury's details for tax payments are
the published ones), but the INNs, account numbers and correspondent accounts carry correct
check digits, and the balances agree with the documents to the kopeck.
One document has an amount typed by hand ("74 800,00"), so the parser reports it as a warning.
"""

from __future__ import annotations

import argparse
from datetime import datetime, timedelta
from decimal import ROUND_HALF_UP, Decimal
from pathlib import Path

OUTPUT = Path(__file__).with_name("statement.txt")

PERIOD_START, PERIOD_END = "01.03.2026", "31.03.2026"


def inn10(first9: str) -> str:
    """A legal entity's INN: nine digits and their check digit."""
    weights = (2, 4, 10, 3, 5, 9, 4, 6, 8)
    return first9 + str(sum(w * int(d) for w, d in zip(weights, first9)) % 11 % 10)


def inn12(first10: str) -> str:
    """An individual entrepreneur's INN: ten digits and two check digits."""
    w11 = (7, 2, 4, 10, 3, 5, 9, 4, 6, 8)
    w12 = (3, 7, 2, 4, 10, 3, 5, 9, 4, 6, 8)
    n11 = str(sum(w * int(d) for w, d in zip(w11, first10)) % 11 % 10)
    n12 = str(sum(w * int(d) for w, d in zip(w12, first10 + n11)) % 11 % 10)
    return first10 + n11 + n12


def _keyed(prefix3: str, account: str) -> str:
    """Puts the control key into the ninth digit of a 20-digit account (weights 7, 1, 3)."""
    assert len(account) == 20 and account[8] == "K", account
    digits = prefix3 + account[:8] + "0" + account[9:]
    total = sum(int(d) * (7, 1, 3)[i % 3] % 10 for i, d in enumerate(digits))
    return account[:8] + str(total % 10 * 3 % 10) + account[9:]


def account(bic: str, pattern: str) -> str:
    """A client account at the bank with this BIC; pattern holds K where the key goes.
    Treasury accounts have no key of this kind and are given whole."""
    return _keyed(bic[-3:], pattern) if "K" in pattern else pattern


def corr_account(bic: str) -> str:
    """The bank's correspondent account with the central bank."""
    return _keyed("0" + bic[4:6], "30101810K00000000" + bic[-3:])


class Bank:
    def __init__(self, name: str, bic: str, city: str, corr: str = "") -> None:
        self.name, self.bic, self.city = name, bic, city
        self.corr = corr or corr_account(bic)


class Party:
    def __init__(self, name: str, inn: str, kpp: str, bank: Bank, acc: str) -> None:
        self.name, self.inn, self.kpp, self.bank = name, inn, kpp, bank
        self.account = account(bank.bic, acc)


HOME_BANK = Bank('АО "СЕВЕРНЫЙ КРЕДИТНЫЙ БАНК"', "044525731", "г. Москва")
VOLGA_BANK = Bank('ПАО "ВОЛЖСКИЙ ТОРГОВЫЙ БАНК"', "042202744", "г. Нижний Новгород")
NEVA_BANK = Bank('АО "БАНК НЕВСКИЙ ПРОСПЕКТ"', "044030862", "г. Санкт-Петербург")
# Tax goes to the treasury's single account, which stands where a bank's correspondent one would.
TREASURY_BANK = Bank("ОКЦ № 7 ГУ Банка России по ЦФО//УФК по Тульской области, г. Тула",
                     "017003983", "г. Тула", corr="40102810445370000059")

US = 'ООО "ПОЛЯРНЫЙ КЛЮЧ"'
US_INN, US_KPP = inn10("771438291"), "771401001"
MAIN = Party(US, US_INN, US_KPP, HOME_BANK, "40702810K00000012345")
PROJECT = Party(US, US_INN, US_KPP, HOME_BANK, "40702810K00000067890")

BANK_INN = inn10("770301983")
BANK_FEES = Party(HOME_BANK.name, BANK_INN, "770301001", HOME_BANK, "70601810K00001710003")
BANK_INTEREST = Party(HOME_BANK.name, BANK_INN, "770301001", HOME_BANK, "70606810K00002720001")
BANK_PAYROLL = Party(HOME_BANK.name, BANK_INN, "770301001", HOME_BANK, "30232810K00000000418")
TAX = Party("Казначейство России (ФНС России)", "7727406020", "770801001", TREASURY_BANK,
            "03100643000000018500")

TECHNOSNAB = Party('ООО "ТЕХНОСНАБ"', inn10("526012478"), "526001001", VOLGA_BANK,
                   "40702810K42000004711")
GRANIT = Party('АО "ГРАНИТ-ИНВЕСТ"', inn10("781045610"), "781001001", NEVA_BANK,
               "40702810K55000001298")
LESTORG = Party('ООО "ЛЕСТОРГПРОМ"', inn10("526307715"), "526301001", VOLGA_BANK,
                "40702810K42000018062")
ENERGY = Party('АО "ЭНЕРГОСБЫТ ЦЕНТР"', inn10("772491035"), "772401001", HOME_BANK,
               "40702810K00000003321")
LOGISTIC = Party('ООО "ЛОГИСТИК-СЕРВИС"', inn10("781364207"), "781301001", NEVA_BANK,
                 "40702810K55000007740")
MERIDIAN = Party('ООО "МЕРИДИАН"', inn10("770935516"), "770901001", HOME_BANK,
                 "40702810K00000055102")
SMIRNOVA = Party("ИП Смирнова Елена Викторовна", inn12("7725601834"), "", HOME_BANK,
                 "40802810K00000031907")
KUZNETSOV = Party("ИП Кузнецов Андрей Павлович", inn12("5260334172"), "", VOLGA_BANK,
                  "40802810K42000002265")

# type, number, date, amount as written, payer, payee, payment kind, purpose ({vat} is filled
# in from the amount), extra keys
DOCUMENTS = [
    ("Платежное поручение", "214", "02.03.2026", "356000.00", TECHNOSNAB, MAIN, "01",
     "Оплата по счету № 45 от 25.02.2026 за строительные материалы. В т.ч. НДС (22%) {vat}",
     {}),
    ("Банковский ордер", "40117", "02.03.2026", "1250.00", MAIN, BANK_FEES, "17",
     "Комиссия за ведение счета за февраль 2026 г. НДС не облагается", {}),
    ("Платежное поручение", "87", "05.03.2026", "120000.00", MAIN, SMIRNOVA, "01",
     "Арендная плата за март 2026 г. по договору аренды № А-17 от 10.01.2025. НДС не облагается",
     {}),
    ("Платежное поручение", "1905", "06.03.2026", "1048750.50", GRANIT, PROJECT, "01",
     "Аванс по договору подряда № П-2025/118 от 17.12.2025 (30%). В т.ч. НДС (22%) {vat}",
     {}),
    ("Платежное поручение", "88", "10.03.2026", "500000.00", PROJECT, MAIN, "01",
     "Перевод собственных средств. НДС не облагается", {}),
    ("Платежное поручение", "89", "11.03.2026", "287640.00", MAIN, LESTORG, "01",
     "Оплата по счету № ЛТ-0312 от 03.03.2026 за пиломатериалы. В т.ч. НДС (22%) {vat}", {}),
    ("Платежное поручение", "52", "12.03.2026", "15600.00", KUZNETSOV, MAIN, "01",
     "Оплата по счету № 52 от 10.03.2026 за консультационные услуги. НДС не облагается", {}),
    ("Платежное требование", "3317", "13.03.2026", "48215.30", MAIN, ENERGY, "02",
     "Оплата электроэнергии за февраль 2026 г. по договору № 77-1045. В т.ч. НДС (22%) {vat}",
     {}),
    ("Платежное поручение", "90", "16.03.2026", "412500.00", MAIN, BANK_PAYROLL, "01",
     "Перечисление заработной платы за первую половину марта 2026 г. по реестру № 3 "
     "от 16.03.2026. НДС не облагается", {}),
    ("Мемориальный ордер", "58231", "18.03.2026", "3412.67", BANK_INTEREST, PROJECT, "09",
     "Выплата процентов на остаток по счету за февраль 2026 г. НДС не облагается", {}),
    ("Платежное поручение", "611", "19.03.2026", "74 800,00", MERIDIAN, MAIN, "01",
     "Оплата по договору поставки № 14/26 от 12.01.2026. В т.ч. НДС (22%) {vat}", {}),
    ("Платежное поручение", "91", "25.03.2026", "96000.00", PROJECT, LOGISTIC, "01",
     "Оплата транспортных услуг по акту № 301 от 20.03.2026. В т.ч. НДС (22%) {vat}", {}),
    ("Платежное поручение", "92", "27.03.2026", "184300.00", MAIN, TAX, "01",
     "Единый налоговый платеж", {
         "СтатусСоставителя": "01", "ПоказательКБК": "18201061201010000510", "ОКАТО": "0",
         "ПоказательОснования": "0", "ПоказательПериода": "0", "ПоказательНомера": "0",
         "ПоказательДаты": "0"}),
]


def previous_day(date: str) -> str:
    return (datetime.strptime(date, "%d.%m.%Y") - timedelta(days=1)).strftime("%d.%m.%Y")


def amount_value(text: str) -> Decimal:
    """The amount as the bank meant it, also for the one typed by hand."""
    return Decimal(text.replace(" ", "").replace(",", "."))


def with_vat(purpose: str, amount: str) -> str:
    vat = (amount_value(amount) * 22 / 122).quantize(Decimal("0.01"), rounding=ROUND_HALF_UP)
    return purpose.format(vat=vat)


def document_lines(doc_type: str, number: str, date: str, amount: str, payer: Party,
                   payee: Party, kind: str, purpose: str, extra: dict[str, str],
                   ours: set[str]) -> list[str]:
    """One section in the key order of a typical bank export, with the keys 1C ignores too."""
    outgoing = payer.account in ours
    incoming = payee.account in ours
    lines = [
        f"СекцияДокумент={doc_type}",
        f"Номер={number}",
        f"Дата={date}",
        f"Сумма={amount}",
        f"ПлательщикСчет={payer.account}",
        f"ДатаСписано={date if outgoing else previous_day(date)}",
        f"Плательщик=ИНН {payer.inn} {payer.name}",
        f"ПлательщикИНН={payer.inn}",
        f"Плательщик1={payer.name}",
        f"ПлательщикРасчСчет={payer.account}",
        f"ПлательщикБанк1={payer.bank.name}",
        f"ПлательщикБанк2={payer.bank.city}",
        f"ПлательщикБИК={payer.bank.bic}",
        f"ПлательщикКорсчет={payer.bank.corr}",
        f"ПолучательСчет={payee.account}",
        f"ДатаПоступило={date if incoming else ''}",
        f"Получатель=ИНН {payee.inn} {payee.name}",
        f"ПолучательИНН={payee.inn}",
        f"Получатель1={payee.name}",
        f"ПолучательРасчСчет={payee.account}",
        f"ПолучательБанк1={payee.bank.name}",
        f"ПолучательБанк2={payee.bank.city}",
        f"ПолучательБИК={payee.bank.bic}",
        f"ПолучательКорсчет={payee.bank.corr}",
        "ВидПлатежа=электронно",
        f"ВидОплаты={kind}",
        "Код=0",
        f"ПлательщикКПП={payer.kpp}",
        f"ПолучательКПП={payee.kpp}",
    ]
    lines += [f"{key}={value}" for key, value in extra.items()]
    lines += ["Очередность=5", f"НазначениеПлатежа={with_vat(purpose, amount)}", "КонецДокумента"]
    return lines


def account_lines(party: Party, opening: Decimal) -> list[str]:
    """An account section whose turnovers are the sums of the documents, the bad one included:
    the bank counted that payment, only its amount in the file is mistyped."""
    income = sum((amount_value(d[3]) for d in DOCUMENTS if d[5] is party), Decimal("0.00"))
    expense = sum((amount_value(d[3]) for d in DOCUMENTS if d[4] is party), Decimal("0.00"))
    return [
        "СекцияРасчСчет",
        f"ДатаНачала={PERIOD_START}",
        f"ДатаКонца={PERIOD_END}",
        f"РасчСчет={party.account}",
        f"НачальныйОстаток={opening}",
        f"ВсегоПоступило={income}",
        f"ВсегоСписано={expense}",
        f"КонечныйОстаток={opening + income - expense}",
        "КонецРасчСчет",
    ]


def statement_lines() -> list[str]:
    lines = [
        "1CClientBankExchange",
        "ВерсияФормата=1.03",
        "Кодировка=Windows",
        "Отправитель=Интернет-банк СКБ Бизнес",
        "Получатель=Бухгалтерия предприятия, редакция 3.0",
        "ДатаСоздания=01.04.2026",
        "ВремяСоздания=09:15:42",
        f"ДатаНачала={PERIOD_START}",
        f"ДатаКонца={PERIOD_END}",
        f"РасчСчет={MAIN.account}",
        f"РасчСчет={PROJECT.account}",
    ]
    lines += account_lines(MAIN, Decimal("1237415.82"))
    lines += account_lines(PROJECT, Decimal("842300.00"))
    ours = {MAIN.account, PROJECT.account}
    for doc in DOCUMENTS:
        lines += document_lines(*doc, ours=ours)
    lines.append("КонецФайла")
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", type=Path, default=OUTPUT)
    args = parser.parse_args()
    text = "".join(line + "\r\n" for line in statement_lines())
    args.output.write_bytes(text.encode("cp1251"))
    print(f"wrote {args.output} ({len(DOCUMENTS)} documents)")


if __name__ == "__main__":
    main()
