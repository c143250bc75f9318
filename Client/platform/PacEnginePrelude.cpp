// The functions scripts expect around FindProxyForURL. Name look-ups go through the natives
// object (isResolvable, resolve, myIpAddress, isInNet,
// shExpMatch, now) so that they stay bounded and testable.
#include "platform/PacEngine.h"

namespace kovrax {

const char* const kPacPrelude = R"JS(function (h, g) {
  'use strict';
  var DAYS = ['SUN', 'MON', 'TUE', 'WED', 'THU', 'FRI', 'SAT'];
  var MONTHS = ['JAN', 'FEB', 'MAR', 'APR', 'MAY', 'JUN', 'JUL', 'AUG', 'SEP', 'OCT', 'NOV', 'DEC'];
  var DOTTED = /^\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}$/;

  function text(v) { return String(v); }
  function now() { var t = h.now(); return t < 0 ? new Date() : new Date(t); }
  // A trailing "GMT" selects universal time; the rest are the range's own arguments.
  function split(list) {
    var a = Array.prototype.slice.call(list);
    var gmt = a.length > 0 && a[a.length - 1] === 'GMT';
    if (gmt) a.pop();
    return { args: a, gmt: gmt };
  }
  // Inclusive range that may wrap around (FRI..MON, DEC..FEB, 22:00..06:00).
  function within(v, lo, hi) { return lo <= hi ? (v >= lo && v <= hi) : (v >= lo || v <= hi); }

  g.isPlainHostName = function (host) { return text(host).indexOf('.') < 0; };
  g.dnsDomainIs = function (host, domain) {
    host = text(host).toLowerCase();
    domain = text(domain).toLowerCase();
    return host.length >= domain.length && host.substring(host.length - domain.length) === domain;
  };
  g.localHostOrDomainIs = function (host, hostdom) {
    host = text(host).toLowerCase();
    hostdom = text(hostdom).toLowerCase();
    if (host === hostdom) return true;
    return host.indexOf('.') < 0 && hostdom.indexOf(host + '.') === 0;
  };
  g.isResolvable = function (host) { return h.isResolvable(text(host)); };
  g.dnsResolve = function (host) { return h.resolve(text(host)); };
  g.myIpAddress = function () { var a = h.myIpAddress(); return a === null ? '127.0.0.1' : a; };
  g.isInNet = function (host, pattern, mask) {
    host = text(host);
    var address = DOTTED.test(host) ? host : h.resolve(host);
    if (address === null) return false;
    return h.isInNet(address, text(pattern), text(mask));
  };
  g.dnsDomainLevels = function (host) { return text(host).split('.').length - 1; };
  g.shExpMatch = function (str, shexp) { return h.shExpMatch(text(str), text(shexp)); };

  g.weekdayRange = function () {
    var a = split(arguments);
    if (a.args.length < 1 || a.args.length > 2) return false;
    var first = DAYS.indexOf(text(a.args[0]).toUpperCase());
    var last = a.args.length === 2 ? DAYS.indexOf(text(a.args[1]).toUpperCase()) : first;
    if (first < 0 || last < 0) return false;
    var t = now();
    return within(a.gmt ? t.getUTCDay() : t.getDay(), first, last);
  };

  g.dateRange = function () {
    var a = split(arguments), n = a.args.length;
    if (n < 1 || n > 6 || (n > 1 && n % 2 !== 0)) return false;
    var parts = [];
    for (var i = 0; i < n; i++) {
      var v = a.args[i], s = text(v);
      if (typeof v === 'number' || /^\d+$/.test(s)) {
        var x = Number(v);
        parts.push(x > 31 ? { k: 'y', v: x } : { k: 'd', v: x });
      } else {
        var m = MONTHS.indexOf(s.toUpperCase());
        if (m < 0) return false;
        parts.push({ k: 'm', v: m });
      }
    }
    var half = n === 1 ? 1 : n / 2;
    var from = parts.slice(0, half), to = n === 1 ? from : parts.slice(half);
    function kinds(list) { var k = ''; for (var j = 0; j < list.length; j++) k += list[j].k; return k; }
    var shape = kinds(from);
    if (kinds(to) !== shape || ['d', 'm', 'y', 'dm', 'my', 'dmy'].indexOf(shape) < 0) return false;
    var t = now();
    var today = {
      d: a.gmt ? t.getUTCDate() : t.getDate(),
      m: a.gmt ? t.getUTCMonth() : t.getMonth(),
      y: a.gmt ? t.getUTCFullYear() : t.getFullYear()
    };
    // Compare only the fields the script named, most significant first.
    function key(list, pick) {
      var y = 0, mo = 0, d = 0;
      for (var j = 0; j < list.length; j++) {
        var value = pick ? today[list[j].k] : list[j].v;
        if (list[j].k === 'y') y = value; else if (list[j].k === 'm') mo = value; else d = value;
      }
      return y * 10000 + mo * 100 + d;
    }
    var lo = key(from, false), hi = key(to, false), cur = key(from, true);
    if (shape.indexOf('y') >= 0) return cur >= lo && cur <= hi;
    return within(cur, lo, hi);
  };

  g.timeRange = function () {
    var a = split(arguments), n = a.args.length, v = [];
    for (var i = 0; i < n; i++) {
      v.push(Number(a.args[i]));
      if (isNaN(v[i])) return false;
    }
    var t = now();
    var hour = a.gmt ? t.getUTCHours() : t.getHours();
    var cur = hour * 3600 + (a.gmt ? t.getUTCMinutes() : t.getMinutes()) * 60 + (a.gmt ? t.getUTCSeconds() : t.getSeconds());
    if (n === 1) return hour === v[0];
    if (n === 2) return v[0] === v[1] ? hour === v[0] : within(cur, v[0] * 3600, v[1] * 3600 - 1);
    if (n === 4) return within(cur, v[0] * 3600 + v[1] * 60, v[2] * 3600 + v[3] * 60 + 59);
    if (n === 6) return within(cur, v[0] * 3600 + v[1] * 60 + v[2], v[3] * 3600 + v[4] * 60 + v[5]);
    return false;
  };
})JS";

}  // namespace kovrax
