// The filter's pattern match and its conditions, groups and text.
#include <QTest>

#include "platform/widgets/Filter.h"

using namespace lw::widgets;

namespace {
class Row final : public FilterSource {
 public:
  Row(std::vector<QVariant> Values, std::vector<ValueType> Types) : v_(std::move(Values)), t_(std::move(Types)) {}
  QVariant value(int Item) const override { return v_[static_cast<size_t>(Item)]; }
  ValueType valueType(int Item) const override { return t_[static_cast<size_t>(Item)]; }

 private:
  std::vector<QVariant> v_;
  std::vector<ValueType> t_;
};
}  // namespace

class TestFilter : public QObject {
  Q_OBJECT
 private slots:
  void like_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("match");
    QTest::newRow("exact, other case") << "Unit.Src" << "unit.src" << true;
    QTest::newRow("no wildcard is not a substring") << "my unit.src" << "unit.src" << false;
    QTest::newRow("percent any run") << "D:\\proj\\mod\\unit.src" << "%unit%" << true;
    QTest::newRow("percent empty run") << "abc" << "abc%" << true;
    QTest::newRow("underscore one char") << "a1c" << "a_c" << true;
    QTest::newRow("underscore not zero chars") << "ac" << "a_c" << false;
    QTest::newRow("underscore not two chars") << "a12c" << "a_c" << false;
    QTest::newRow("whole text must match") << "abcd" << "%bc" << false;
    QTest::newRow("back-tracking") << "aXbXbc" << "a%bc" << true;
    QTest::newRow("many stars") << "abcabcabd" << "%a%b%d" << true;
    QTest::newRow("empty pattern, empty text") << "" << "" << true;
    QTest::newRow("empty pattern, text") << "x" << "" << false;
    QTest::newRow("only percent matches empty") << "" << "%" << true;
    QTest::newRow("non-ASCII case") << QString::fromUtf8("\xC3\x84rger") << QString::fromUtf8("\xC3\xA4RGER") << true;
    QTest::newRow("regex characters are literal") << "a.b*c" << "a.b*c" << true;
    QTest::newRow("regex dot is not a wildcard") << "axb" << "a.b" << false;
  }
  void like() {
    QFETCH(QString, text);
    QFETCH(QString, pattern);
    QFETCH(bool, match);
    QCOMPARE(likeMatch(text, pattern), match);
  }

  void likeLongInputStaysBounded() {
    // A pathological pattern over a long text finishes (quadratic at worst, no recursion).
    const QString text(20000, QLatin1Char('a'));
    QVERIFY(!likeMatch(text, QStringLiteral("%a%a%a%b")));
  }

  void conditions_data() {
    QTest::addColumn<int>("item");
    QTest::addColumn<int>("op");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QVariant>("value2");
    QTest::addColumn<bool>("match");
    // Row: 0 integer 42, 1 text "Alpha", 2 empty text, 3 integer -2
    QTest::newRow("int equal") << 0 << int(foEqual) << QVariant(42) << QVariant() << true;
    QTest::newRow("int equal as text") << 0 << int(foEqual) << QVariant("42") << QVariant() << true;
    QTest::newRow("int compares as number") << 0 << int(foLess) << QVariant(100) << QVariant() << true;
    QTest::newRow("int greater") << 0 << int(foGreater) << QVariant(42) << QVariant() << false;
    QTest::newRow("int between inclusive") << 0 << int(foBetween) << QVariant(42) << QVariant(50) << true;
    QTest::newRow("int not between") << 0 << int(foNotBetween) << QVariant(1) << QVariant(41) << true;
    QTest::newRow("int like its text") << 0 << int(foLike) << QVariant("4_") << QVariant() << true;
    QTest::newRow("negative like") << 3 << int(foLike) << QVariant("-2") << QVariant() << true;
    QTest::newRow("int vs non-number") << 0 << int(foEqual) << QVariant("x") << QVariant() << false;
    QTest::newRow("int not equal non-number") << 0 << int(foNotEqual) << QVariant("x") << QVariant() << true;
    QTest::newRow("text equal ignores case") << 1 << int(foEqual) << QVariant("ALPHA") << QVariant() << true;
    QTest::newRow("text less") << 1 << int(foLess) << QVariant("beta") << QVariant() << true;
    QTest::newRow("text not like") << 1 << int(foNotLike) << QVariant("%ph%") << QVariant() << false;
    QTest::newRow("blank") << 2 << int(foBlanks) << QVariant() << QVariant() << true;
    QTest::newRow("non blank") << 1 << int(foNonBlanks) << QVariant() << QVariant() << true;
    QTest::newRow("blank is not equal") << 2 << int(foEqual) << QVariant("") << QVariant() << false;
  }
  void conditions() {
    QFETCH(int, item);
    QFETCH(int, op);
    QFETCH(QVariant, value);
    QFETCH(QVariant, value2);
    QFETCH(bool, match);
    const Row row({QVariant(qint64(42)), QVariant("Alpha"), QVariant(""), QVariant(qint64(-2))},
                  {ValueType::Integer, ValueType::Text, ValueType::Text, ValueType::Integer});
    FilterCriteria f;
    FilterNode root = FilterNode::group(FilterBoolOperator::And);
    root.Children.push_back(FilterNode::condition(item, static_cast<FilterOperator>(op), value, {}, value2));
    f.SetRoot(root);
    f.SetActive(true);
    QCOMPARE(f.Matches(row), match);
  }

  void groupsAndSwitching() {
    const Row row({QVariant(qint64(4)), QVariant("boot failed")}, {ValueType::Integer, ValueType::Text});
    int changes = 0;
    FilterCriteria f;
    f.OnChanged = [&] { ++changes; };
    // Level = 1 or (Level = 4 and Message like '%fail%')
    FilterNode root = FilterNode::group(FilterBoolOperator::Or);
    root.Children.push_back(FilterNode::condition(0, foEqual, 1));
    FilterNode inner = FilterNode::group(FilterBoolOperator::And);
    inner.Children.push_back(FilterNode::condition(0, foEqual, 4));
    inner.Children.push_back(FilterNode::condition(1, foLike, QStringLiteral("%fail%")));
    root.Children.push_back(inner);
    f.SetRoot(root);
    QVERIFY(f.Matches(row));  // inactive: everything passes
    f.SetActive(true);
    QVERIFY(f.Matches(row));
    QCOMPARE(f.FilterText({"Level", "Message"}), QStringLiteral("Level equals '1' or (Level equals '4' and Message like '%fail%')"));

    // Removing the conditions on Message leaves (Level = 4) in the inner group: still a match.
    f.RemoveItemConditions(1);
    QVERIFY(f.Matches(row));
    // Removing Level empties both groups; the empty inner group goes and the filter is empty.
    f.RemoveItemConditions(0);
    QVERIFY(f.IsEmpty());
    QCOMPARE(changes, 4);
    f.RemoveItemConditions(0);  // nothing to remove: no change reported
    QCOMPARE(changes, 4);

    f.SetRoot(FilterNode::group(FilterBoolOperator::And));  // the emptied root was still an OR group
    f.AddItem(1, foLike, QStringLiteral("boot%"), QStringLiteral("boot%"));
    QVERIFY(f.Matches(row));
    f.AddItem(0, foLike, QVariant(qint64(8)), QStringLiteral("8"));
    QVERIFY(!f.Matches(row));  // the root is AND: the second condition narrows
    f.SetActive(false);
    QVERIFY(f.Matches(row));
    f.Clear();
    QVERIFY(f.IsEmpty());
    QVERIFY(!f.Active());
  }
};

QTEST_GUILESS_MAIN(TestFilter)
#include "tst_Filter.moc"
