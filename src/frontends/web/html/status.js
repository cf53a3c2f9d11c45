// QALMOR link's status page: reads data/status.json, which the service rewrites whole once
// a second, and shows it. The rate plot is the one thing not in the file: it is drawn from
// what this page has read since it was opened.
"use strict";

const POLL_MS = 1000;
// The service writes every second: a document this much older than our clock means nobody
// writes it any more (the service stopped or hangs), and the page says so in red.
const STALE_AFTER_S = 5;
// The relay keeps this much of the stream for its readers; one further behind is cut.
const HISTORY_BYTES = 8 * 1024 * 1024;
const PLOT_SPAN_S = 600;
// Samples further apart than this are not joined: the page was asleep or the file still.
const PLOT_GAP_S = 5;

const STATE_TEXTS = {
    connected: "соединен",
    idle: "не работает",
    closed: "разорван",
    failed: "ошибка",
    not_a_target: "неверная строка",
};

let latest = null;  // the newest document read
let tried = false;  // a fetch has ended, well or not
let failed = false; // the last fetch failed
const rates = [];   // [now, messages_per_s] of each document read, oldest first

const numberFormat = new Intl.NumberFormat("ru-RU", { maximumFractionDigits: 1 });
const hundredths = { minimumFractionDigits: 2, maximumFractionDigits: 2 };
const ppmFormat = new Intl.NumberFormat("ru-RU", { ...hundredths, signDisplay: "exceptZero" });
const spreadFormat = new Intl.NumberFormat("ru-RU", hundredths);

function byId(id) {
    return document.getElementById(id);
}

function cell(row, text, className) {
    const td = row.insertCell();
    td.textContent = text;
    if (className)
        td.className = className;
    return td;
}

function bytesText(bytes) {
    const units = ["Б", "КиБ", "МиБ", "ГиБ", "ТиБ"];
    let value = bytes;
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
        value /= 1024;
        unit += 1;
    }
    return numberFormat.format(value) + " " + units[unit];
}

function timeText(seconds) {
    return new Date(seconds * 1000).toLocaleString("ru-RU");
}

function replaceRows(table, fill) {
    const body = byId(table).tBodies[0];
    const fresh = document.createElement("tbody");
    fill(fresh);
    body.replaceWith(fresh);
}

function linkRow(body, name, link) {
    const row = body.insertRow();
    row.className = "state-" + link.state;
    cell(row, name);
    cell(row, link.host);
    cell(row, link.port, "number");
    cell(row, STATE_TEXTS[link.state] || link.state, "state");
    cell(row, link.status_text);
}

function showLinks(doc) {
    replaceRows("links", (body) => {
        linkRow(body, "Источник", doc.source);
        linkRow(body, "Потребитель", doc.consumer);
        for (const target of doc.push)
            linkRow(body, "Передача", target);
    });
}

function behindCell(row, bytes) {
    const td = cell(row, "", "number behind");
    td.dataset.bytes = bytes;
    const bar = document.createElement("span");
    bar.className = "bar";
    const fill = document.createElement("span");
    fill.style.width = Math.min(100, (100 * bytes) / HISTORY_BYTES) + "%";
    bar.append(fill);
    td.append(bar, bytesText(bytes));
}

function showRelay(relay) {
    const parts = ["порт " + relay.port];
    parts.push(relay.listening ? "принимает подключения" : "не принимает: " + relay.error);
    if (relay.address)
        parts.push("адрес " + relay.address);
    parts.push("клиентов " + relay.clients.length);
    const refused = relay.refused;
    const refusedTotal = refused.not_allowed + refused.over_share + refused.full;
    if (refusedTotal > 0)
        parts.push(`отказано ${refusedTotal} (не разрешены ${refused.not_allowed}, ` +
                   `сверх доли ${refused.over_share}, нет мест ${refused.full})`);
    byId("relay").textContent = parts.join("; ");

    replaceRows("readers", (body) => {
        for (const client of relay.clients) {
            const row = body.insertRow();
            cell(row, client.address);
            cell(row, client.port, "number");
            cell(row, timeText(client.connected_since), "number");
            cell(row, bytesText(client.bytes_sent), "number");
            behindCell(row, client.behind_bytes);
            cell(row, bytesText(client.most_behind_bytes), "number");
        }
    });

    let cuts = "";
    if (relay.cut_total > 0) {
        cuts = "Отключено клиентов: " + relay.cut_total;
        const last = relay.last_cut;
        if (last)
            cuts += `; последний ${last.address} ${last.port} в ${timeText(last.at)}, ` +
                    (last.reason === "behind" ? "слишком отстал" : "ошибка передачи");
    }
    byId("relay-cuts").textContent = cuts;
}

function showRate(doc) {
    const format = doc.binary_mode ? "Beast (двоичный)" : "текст";
    byId("rate").textContent =
        `${numberFormat.format(doc.messages_per_s)} в секунду; принято ` +
        `${numberFormat.format(doc.messages_received)} сообщений, ` +
        `${bytesText(doc.bytes_received)}; формат приемника: ${format}`;
}

function showClock(clock) {
    const verdict = byId("clock-verdict");
    verdict.textContent = clock.verdict_text;
    verdict.className = "verdict-" + clock.verdict;
    const parts = ["установлено " + numberFormat.format(clock.setting_hz) + " Гц"];
    if (clock.offset_ppm !== undefined) {
        parts.push("измерено " + numberFormat.format(Math.round(clock.measured_hz)) + " Гц");
        parts.push(`${ppmFormat.format(clock.offset_ppm)} ± ` +
                   `${spreadFormat.format(clock.uncertainty_ppm)} ppm`);
        parts.push("окно " + Math.round(clock.window_s) + " с");
    }
    byId("clock-figures").textContent = parts.join("; ");
}

function noteRate(doc) {
    const last = rates[rates.length - 1];
    if (last && doc.now === last[0])
        return;  // the same document again
    if (last && doc.now < last[0])
        rates.length = 0;  // the clock went back: start over
    rates.push([doc.now, doc.messages_per_s]);
    while (rates[0][0] < doc.now - PLOT_SPAN_S)
        rates.shift();
}

function drawRates() {
    const canvas = byId("rate-plot");
    const context = canvas.getContext("2d");
    const width = canvas.width;
    const height = canvas.height;
    const top = 18;
    const bottom = height - 18;
    context.clearRect(0, 0, width, height);
    if (rates.length === 0)
        return;
    const end = rates[rates.length - 1][0];
    const most = Math.max(1, ...rates.map((sample) => sample[1]));
    const right = width - 6;
    const x = (t) => ((t - (end - PLOT_SPAN_S)) / PLOT_SPAN_S) * right;
    const y = (rate) => bottom - (rate / most) * (bottom - top);

    context.strokeStyle = "#e3e6eb";
    context.beginPath();
    context.moveTo(0, top);
    context.lineTo(width, top);
    context.moveTo(0, bottom);
    context.lineTo(width, bottom);
    context.stroke();

    context.strokeStyle = "#1f5fbf";
    context.lineWidth = 2;
    context.beginPath();
    rates.forEach(([t, rate], i) => {
        if (i === 0 || t - rates[i - 1][0] > PLOT_GAP_S)
            context.moveTo(x(t), y(rate));
        else
            context.lineTo(x(t), y(rate));
    });
    context.stroke();
    // The newest sample as a dot: the first one has no line to show it.
    context.fillStyle = "#1f5fbf";
    context.beginPath();
    context.arc(x(end), y(rates[rates.length - 1][1]), 3, 0, 2 * Math.PI);
    context.fill();

    context.fillStyle = "#5a6270";
    context.font = "12px sans-serif";
    context.textBaseline = "bottom";
    context.fillText(numberFormat.format(most) + " в секунду", 4, top - 2);
    context.textBaseline = "top";
    context.fillText("10 минут назад", 4, bottom + 2);
    context.textAlign = "right";
    context.fillText("сейчас", width - 4, bottom + 2);
    context.textAlign = "left";
}

function show(doc) {
    byId("started").textContent = "работает с " + timeText(doc.started);
    showLinks(doc);
    showRelay(doc.relay);
    showRate(doc);
    showClock(doc.clock);
    drawRates();
}

// Runs on a timer of its own as well, so that a fetch that hangs still turns the page red.
function showFreshness() {
    if (!tried)
        return;
    const age_s = latest ? Date.now() / 1000 - latest.now : Infinity;
    const stale = failed || age_s > STALE_AFTER_S;
    document.body.classList.toggle("stale", stale);
    let text = stale ? "данные устарели" : "обновлено " + timeText(latest.now);
    if (stale && latest)
        text += " (последние от " + timeText(latest.now) + ")";
    byId("freshness").textContent = text;
}

async function poll() {
    try {
        const response = await fetch("data/status.json", {
            cache: "no-store",
            signal: AbortSignal.timeout(3 * POLL_MS),
        });
        if (!response.ok)
            throw new Error("HTTP " + response.status);
        const doc = await response.json();
        latest = doc;
        failed = false;
        noteRate(doc);
        show(doc);
    } catch (error) {
        failed = true;
    }
    tried = true;
    showFreshness();
    setTimeout(poll, POLL_MS);
}

poll();
setInterval(showFreshness, POLL_MS);
